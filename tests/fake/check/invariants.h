// What must never happen in any run of scanfw on the fake platform, whatever
// the platform answers. Checked after every run: the scenario tests, the
// fault sweep and the fuzzers all call CheckInvariantsFrom.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace fake {

enum class RunKind {
  Whole,        // ScanfwMain: option line, discovery, update
  ServiceOnly,  // the service controller alone
  Asking,       // ScanfwMain asked for help, the version or the device list
};

// The kind of a whole run with these arguments (argv[1] on).
RunKind KindOfArguments(const std::vector<std::string> &args);

// The broken rules, one line each; empty when the run was sound. Reads the
// fake's state and the entry points' log as the run left them. The service's
// resume is taken to begin at log entry `resumeFrom`, by default after the
// last call that is not the service manager's.
std::vector<std::string> CheckInvariantsFrom(
    const std::string &output, RunKind kind = RunKind::Whole,
    size_t resumeFrom = static_cast<size_t>(-1));

// The exit status of a whole run with these arguments: 0 unless
// --exit-code asks for the outcome, and then the code of the verdict the
// output ends with. A broken rule is added to *violations.
void CheckExitStatus(const std::vector<std::string> &args,
                     const std::string &output, int status,
                     std::vector<std::string> *violations);

// The same joined with line feeds, for one-line test assertions.
std::string Violations(const std::string &output,
                       RunKind kind = RunKind::Whole);

}  // namespace fake
