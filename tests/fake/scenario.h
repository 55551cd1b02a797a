// Scenario files (tests/scenarios/README.md): one run of scanfw described as
// data, and the fake platform set up from it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tests/fake/fake_image.h"
#include "tests/fake/fake_scanner.h"
#include "tests/fake/fake_service.h"

namespace fake {

struct Scenario {
  std::string name;  // file name without .scn
  std::string title;
  std::vector<std::string> args;
  uint16_t langId = 0x0409;
  uint32_t clock = 0;
  std::vector<FakeDevice> devices;
  FakeService service;
  ImageFault image = ImageFault::None;
  bool wine = true;

  bool checkWire = false;
  std::string wire;  // "RRDBSS": one letter per exchange or bulk write
  bool checkOpened = false;
  std::vector<int> opened;
  std::string expectService;                // empty: not checked
  std::string expectServiceDuringTransfer;  // empty: not checked
  std::string expectedOutput;               // NAME.out, LF line ends
  int expectExit = 0;                       // the process exit status
  bool expectNoServiceCalls = false;        // expect-service-calls: none
};

// Reads NAME.scn and NAME.out; false with a message on a malformed file.
// In NAME.out, {image-length} and {image-sha256} stand for the decimal length
// and the lower-case hex SHA-256 of the image the program carries: here the
// fake's default image.
bool LoadScenario(const std::string &scnPath, Scenario *scenario,
                  std::string *error);

// Sets the fake up as the scenario says; call after Reset().
void ApplyScenario(const Scenario &scenario);

}  // namespace fake
