// The simulated service control manager and its one service, "STISVC".
#pragma once

#include <cstdint>
#include <string>

#include "tests/fake/fake_platform.h"

namespace fake {

struct FakeService {
  bool managerOpens = true;       // OpenSCManagerA succeeds
  bool installed = true;          // "STISVC" exists
  bool openDenied = false;        // OpenServiceA fails with access denied
  DWORD state = SERVICE_RUNNING;
  DWORD controlsAccepted = SERVICE_ACCEPT_STOP;
  DWORD startType = SERVICE_AUTO_START;
  DWORD waitHint = 0;
  // Status queries that answer a pending state after a stop or start
  // request before the final state shows; -1: never reaches it.
  int stopPendingQueries = 1;
  int startPendingQueries = 1;
  bool stopRefused = false;
  bool startRefused = false;
  bool changeFails = false;
  // Failure injection: the Nth QueryServiceStatus call fails (0 = none).
  int statusQueryFailsAt = 0;
  DWORD configProbeError = ERROR_INSUFFICIENT_BUFFER;  // first config query
  bool configSecondFails = false;
  bool allocFails = false;
};

FakeService &Service();

// "running auto", "stopped disabled", "absent", ...: the state and start
// type as a scenario names them.
std::string DescribeService();

}  // namespace fake
