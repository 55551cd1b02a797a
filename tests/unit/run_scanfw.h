// Runs the whole program in-process, on whatever the fake platform holds;
// and what the tests put there and read back.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "app/entry.h"
#include "tests/fake/check/checked_run.h"
#include "tests/fake/fake_scanner.h"
#include "tests/fake/scenario.h"
#include "tests/unit/capture.h"

const char kNotFound[] = "Device not found!!\nEnd program...\n\n";

// The compiled scenarios this harness can run, and one of them by name with
// its transcript (a test failure when it cannot be read).
inline std::vector<std::string> FakeScenarios() {
  return fake::FakeScenarioNames(SCANFW_SCENARIO_RECORDS);
}
inline fake::Scenario LoadedScenario(const std::string &name) {
  fake::Scenario sc;
  std::string error;
  EXPECT_TRUE(fake::LoadScenario(
      std::string(SCANFW_SCENARIO_RECORDS) + "/" + name + ".rec",
      std::string(SCANFW_SOURCE_DIR) + "/tests/scenarios/" + name + ".out", &sc,
      &error))
      << error;
  return sc;
}

inline fake::FakeDevice Attached(int index, uint16_t vendor = 0x3A7C,
                                 uint16_t product = 0x4E21) {
  fake::FakeDevice d;
  d.index = index;
  d.vendor = vendor;
  d.product = product;
  return d;
}

inline fake::FakeDevice FailingDescriptor(fake::FakeDevice d) {
  d.descriptorFails = true;
  return d;
}

// Each named argument of the call has the value given.
inline void ExpectArgs(
    const fake::Call &call,
    std::vector<std::pair<std::string, std::string>> expected) {
  for (const auto &arg : expected)
    EXPECT_EQ(fake::Arg(call, arg.first), arg.second)
        << call.name << " " << arg.first;
}

// The output of scanfw with these arguments (argv[0] is added); the exit
// status must be 0 whatever happens.
inline std::string RunScanfw(std::vector<std::string> args) {
  int status = -1;
  std::string out = fake::RunProgram(args, &status);
  EXPECT_EQ(status, 0);
  return out;
}
