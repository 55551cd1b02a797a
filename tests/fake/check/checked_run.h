// Runs the whole program in-process on the fake platform, without GoogleTest:
// for the fault sweep and the fuzzers.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "tests/fake/check/faults.h"
#include "tests/fake/scenario.h"

namespace fake {

// The output of ScanfwMain with these arguments (argv[0] is added) and its
// exit status.
std::string RunProgram(const std::vector<std::string> &args, int *status);

// Runs `body` with standard output collected; returns what it printed.
std::string CollectOutput(void (*body)(void *), void *context);

// The compiled scenarios the fake can run, as RECORDS/fake.list names them.
std::vector<std::string> FakeScenarioNames(const std::string &records);

// The scenario's whole run on a reset fake with the faults (call index, way)
// armed: the broken invariants, the exit status among them.
std::vector<std::string> RunChecked(
    const Scenario &scenario, const std::vector<std::pair<long, Way>> &faults);

}  // namespace fake
