// Runs the whole program in-process on the fake platform, without GoogleTest:
// for the fault sweep and the fuzzers.
#pragma once

#include <string>
#include <vector>

namespace fake {

// The output of ScanfwMain with these arguments (argv[0] is added) and its
// exit status.
std::string RunProgram(const std::vector<std::string> &args, int *status);

// Runs `body` with standard output collected; returns what it printed.
std::string CollectOutput(void (*body)(void *), void *context);

}  // namespace fake
