// A compiled scenario (tests/sim/scncc.py) and the fake platform set up
// from it.
#pragma once

#include <string>
#include <vector>

#include "tests/fake/fake_image.h"
#include "tests/fake/fake_scanner.h"
#include "tests/fake/fake_service.h"
#include "tests/sim/scenario_record.h"

namespace fake {

// A run's setup, as ApplyScenario makes it (the fuzzers build one
// directly), and, when read from a compiled scenario, the record with the
// expectations and the expected output.
struct Scenario {
  std::vector<std::string> args;
  uint16_t langId = 0x0409;
  uint32_t clock = 0;
  std::vector<FakeDevice> devices;
  FakeService service;
  ImageFault image = ImageFault::None;
  // The image the program carries: the default image's first bytes.
  uint32_t imageLength = kDefaultImageSize;
  // Started by double-click: standard output and input a console, Explorer
  // the parent, a key pressed a second after the prompt to close.
  bool onConsole = false;
  scn_record record{};
  std::string expectedOutput;  // NAME.out, LF line ends
  // What {log} in the arguments stands for: a file of this scenario's and
  // this process's own in the temporary folder (the unit tests run in
  // several processes at once), removed before each run.
  std::string logPath;
};

// Reads the compiled record and the expected output; false with a message
// when either is missing or the record is not of this layout. In NAME.out,
// {image-length} and {image-sha256} stand for the decimal length and the
// lower-case hex SHA-256 of the image the program carries: here the fake's
// default image.
bool LoadScenario(const std::string &recordPath, const std::string &outPath,
                  Scenario *scenario, std::string *error);

// Sets the fake up as the scenario says; call after Reset().
void ApplyScenario(const Scenario &scenario);

// The record's service expectation as DescribeService() would put it.
std::string ServiceText(const scn_service &service);

}  // namespace fake
