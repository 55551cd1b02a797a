// A compiled scenario (tests/sim/scncc.py) and the fake platform set up
// from it.
#pragma once

#include <string>
#include <vector>

#include "tests/sim/scenario_record.h"

namespace fake {

struct Scenario {
  scn_record record;
  std::vector<std::string> args;
  std::string expectedOutput;  // NAME.out, LF line ends
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
