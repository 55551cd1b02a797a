// The simulated service control manager and its one service, "STISVC".
//
// The service behaves as a Windows service does as far as scanfw can see:
// handles carry the access they were opened with and every call checks it,
// a stop or start request moves the service through a pending state for a
// scripted number of status queries, and the configuration query follows the
// two-call size protocol. Each call is recorded (fake::CallsNamed) with its
// arguments as text; handles appear there as "manager#N" / "service#N", the
// Nth handle of that kind handed out since the last reset.
#pragma once

#include <cstdint>
#include <string>

#include "tests/fake/fake_platform.h"

namespace fake {

struct FakeService {
  bool managerOpens = true;  // OpenSCManagerA succeeds
  bool installed = true;     // "STISVC" exists
  bool openDenied = false;   // OpenServiceA fails with access denied
  // The service's state and start type now; the fake moves them as requests
  // and queries arrive, so tests read them back at the end.
  DWORD state = SERVICE_RUNNING;
  // What the service accepts while running or paused. A stopped or pending
  // service reports 0, as Windows services do.
  DWORD controlsAccepted = SERVICE_ACCEPT_STOP;
  DWORD startType = SERVICE_AUTO_START;
  DWORD waitHint = 0;  // reported by every status
  // Status queries that answer a pending state after a stop or start
  // request before the final state shows; -1: never reaches it.
  int stopPendingQueries = 1;
  int startPendingQueries = 1;
  bool stopRefused = false;
  bool startRefused = false;
  bool changeFails = false;
  // Failure injection: the Nth QueryServiceStatus call fails (0 = none).
  int statusQueryFailsAt = 0;
  // A configuration query whose block is too small (the size probe) fails
  // with this error; only ERROR_INSUFFICIENT_BUFFER reports the needed size.
  // ERROR_SUCCESS makes such a query succeed without writing anything, as a
  // misbehaving manager might.
  DWORD configProbeError = ERROR_INSUFFICIENT_BUFFER;
  // A configuration query with a big enough block fails
  // (configSecondError as the last error).
  bool configSecondFails = false;
  // The LocalAlloc that follows each size probe fails.
  bool allocFails = false;

  // Extensions.
  // How many QueryServiceStatus calls fail from statusQueryFailsAt on;
  // -1: every one from there.
  int statusQueryFailCount = 1;
  DWORD statusQueryError = ERROR_INVALID_HANDLE;
  // What a successful QueryServiceStatus returns (Windows: 1).
  BOOL statusTrueValue = TRUE;
  // How many size probes fail with configProbeError before the rest answer
  // ERROR_INSUFFICIENT_BUFFER; -1: all of them.
  int configProbeErrorTimes = -1;
  DWORD configSecondError = ERROR_INSUFFICIENT_BUFFER;
  DWORD changeError = ERROR_ACCESS_DENIED;
  // Where the service settles after its pending queries: a service that
  // fails to start falls back to SERVICE_STOPPED.
  DWORD stopFinalState = SERVICE_STOPPED;
  DWORD startFinalState = SERVICE_RUNNING;
  // Virtual milliseconds each QueryServiceStatus takes: a poll with a wait
  // hint of 0 still sees the clock move, as on a real machine.
  uint32_t statusQueryMs = 0;
  // Added by each QueryServiceStatus while the state cannot change by itself
  // (no request under way, or one that never ends): the fuzzer reaches the
  // poll's 60-second bound in a few queries.
  uint32_t heldQueryMs = 0;
  // Past this many QueryServiceStatus calls every call fails, so that a poll
  // without a bound ends and its test can see how far it ran.
  int statusQueryLimit = 1000000;
};

FakeService &Service();

// "running auto", "stopped disabled", "stop-pending demand", "absent", ...:
// the state and start type as a scenario names them. Records no call.
std::string DescribeService();

// The block size that the size probe reports: the record and its strings.
DWORD ServiceConfigBytes();

// Whether the call is one of the service control manager's that acts on a
// service (all but CloseServiceHandle).
bool IsManagerCall(const char *name);

// How many calls the program made on the service control manager, of any
// kind.
int ServiceCallCount();

// True when a ChangeServiceConfigA call asked to change anything besides the
// start type.
bool ServiceConfigOtherwiseChanged();

}  // namespace fake
