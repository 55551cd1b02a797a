// The simulated service control manager and its "STISVC".
#include "tests/fake/fake_service.h"

#include <cctype>
#include <cstring>

namespace fake {
namespace {

// Error codes the service manager gives that the shared header lacks.
const DWORD kErrorInvalidServiceControl = 1052;
const DWORD kErrorServiceRequestTimeout = 1053;
const DWORD kErrorServiceDisabled = 1058;
const DWORD kErrorServiceCannotAcceptCtrl = 1061;
const DWORD kErrorNullRefPointer = 1780;  // RPC_X_NULL_REF_POINTER

// The configuration strings Windows reports for the image service; the
// dependencies are a list ended by an empty string.
const char kBinaryPath[] = "C:\\Windows\\system32\\svchost.exe -k imgsvc";
const char kLoadOrderGroup[] = "";
const char kDependencies[] = "RpcSs\0";  // plus the literal's own NUL
const char kStartName[] = "LocalSystem";
const char kDisplayName[] = "Windows Image Acquisition (WIA)";

// How the service is moving between the scripted values, and the counters
// that failure injection keys on.
struct Progress {
  int statusCalls = 0;
  int probes = 0;
  bool moving = false;  // a stop or start request is under way
  int pendingLeft = 0;  // -1: stays pending
  DWORD finalState = 0;
  DWORD checkPoint = 0;
  bool otherConfigChanged = false;
};

Progress &P() {
  static Progress progress;
  return progress;
}

// "manager#2": the second manager handle handed out since the reset.
std::string Name(const void *handle) {
  if (handle == nullptr) return "null";
  HandleInfo *info = FindHandle(handle);
  if (info == nullptr)
    return "bad:" +
           Hex(static_cast<DWORD>(reinterpret_cast<uintptr_t>(handle)));
  int ordinal = 0;
  for (const HandleInfo &h : S().handles) {
    if (h.kind == info->kind) ++ordinal;
    if (&h == info) break;
  }
  const char *kind = info->kind == HandleKind::Manager   ? "manager#"
                     : info->kind == HandleKind::Service ? "service#"
                                                         : "other#";
  return kind + std::to_string(ordinal);
}

std::string Text(LPCSTR text) {
  return text == nullptr ? "null" : "\"" + std::string(text) + "\"";
}

// An open service handle granted `rights`; otherwise the call fails with
// the error Windows gives.
bool UsableService(SC_HANDLE handle, DWORD rights) {
  HandleInfo *info = FindHandle(handle);
  if (info == nullptr || !info->open || info->kind != HandleKind::Service)
    return fake::Fail(ERROR_INVALID_HANDLE, false);
  DWORD granted = static_cast<DWORD>(info->tag);
  if ((granted & rights) != rights)
    return fake::Fail(ERROR_ACCESS_DENIED, false);
  return true;
}

bool Pending(DWORD state) {
  return state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING ||
         state == SERVICE_CONTINUE_PENDING || state == SERVICE_PAUSE_PENDING;
}

// A running or paused service reports its controls; a stopped, starting or
// stopping one reports none.
DWORD ReportedControls(DWORD state) {
  bool up = state == SERVICE_RUNNING || state == SERVICE_PAUSED ||
            state == SERVICE_PAUSE_PENDING || state == SERVICE_CONTINUE_PENDING;
  return up ? Service().controlsAccepted : 0;
}

void FillStatus(LPSERVICE_STATUS status) {
  const FakeService &svc = Service();
  status->dwServiceType = SERVICE_WIN32_SHARE_PROCESS;
  status->dwCurrentState = svc.state;
  status->dwControlsAccepted = ReportedControls(svc.state);
  status->dwWin32ExitCode = 0;
  status->dwServiceSpecificExitCode = 0;
  status->dwCheckPoint = Pending(svc.state) ? P().checkPoint : 0;
  status->dwWaitHint = svc.waitHint;
}

// Begins a stop or start: pending for `queries` status queries, then final.
void BeginMove(DWORD pendingState, int queries, DWORD finalState) {
  if (queries == 0) {
    Service().state = finalState;
    P().moving = false;
    return;
  }
  Service().state = pendingState;
  P().moving = true;
  P().pendingLeft = queries;
  P().finalState = finalState;
  P().checkPoint = 0;
}

// One answered status query has passed.
void AdvanceAfterQuery() {
  if (!P().moving) return;
  if (P().pendingLeft == 0) {
    Service().state = P().finalState;
    P().moving = false;
    return;
  }
  if (P().pendingLeft > 0) --P().pendingLeft;
  ++P().checkPoint;
}

bool StatusQueryFails(int n) {
  const FakeService &svc = Service();
  if (svc.statusQueryFailsAt <= 0 || n < svc.statusQueryFailsAt) return false;
  if (svc.statusQueryFailCount < 0) return true;
  return n < svc.statusQueryFailsAt + svc.statusQueryFailCount;
}

// The names of the service states (1 to 7) and of the start types (0 to 4).
const char *StateName(DWORD state) {
  static const char *const kNames[] = {
      nullptr,   "stopped",          "start-pending", "stop-pending",
      "running", "continue-pending", "pause-pending", "paused"};
  return state < 8 ? kNames[state] : nullptr;
}

const char *StartTypeName(DWORD startType) {
  static const char *const kNames[] = {"boot", "system", "auto", "demand",
                                       "disabled"};
  return startType < 5 ? kNames[startType] : nullptr;
}

}  // namespace

FakeService &Service() {
  static FakeService service;
  return service;
}

void ResetService() {
  Service() = FakeService();
  P() = Progress();
}

std::string DescribeService() {
  Bookkeeping b;
  const FakeService &svc = Service();
  if (!svc.installed) return "absent";
  const char *state = StateName(svc.state);
  const char *start = StartTypeName(svc.startType);
  return (state ? std::string(state) : "state-" + std::to_string(svc.state)) +
         " " +
         (start ? std::string(start)
                : "start-" + std::to_string(svc.startType));
}

DWORD ServiceConfigBytes() {
  return static_cast<DWORD>(sizeof(QUERY_SERVICE_CONFIGA) + sizeof kBinaryPath +
                            sizeof kLoadOrderGroup + sizeof kDependencies +
                            sizeof kStartName + sizeof kDisplayName);
}

bool ServiceConfigOtherwiseChanged() { return P().otherConfigChanged; }

bool IsManagerCall(const char *name) {
  static const char *const kCalls[] = {
      "OpenSCManagerA",      "OpenServiceA",   "QueryServiceStatus",
      "QueryServiceConfigA", "ControlService", "ChangeServiceConfigA",
      "StartServiceA"};
  for (const char *call : kCalls)
    if (name[0] == call[0] && std::strcmp(name, call) == 0) return true;
  return false;
}

int ServiceCallCount() {
  int count = 0;
  for (const Call &c : S().calls)
    if (IsManagerCall(c.name.c_str()) || c.name == "CloseServiceHandle")
      ++count;
  return count;
}

}  // namespace fake

using fake::P;
using fake::S;
using fake::Service;

SC_HANDLE OpenSCManagerA(LPCSTR machine, LPCSTR database, DWORD access) {
  fake::Bookkeeping b;
  fake::Record("OpenSCManagerA", "machine=" + fake::Text(machine) +
                                     " database=" + fake::Text(database) +
                                     " access=" + fake::Hex(access));
  if (!Service().managerOpens) return fake::Fail(ERROR_ACCESS_DENIED, nullptr);
  return static_cast<SC_HANDLE>(
      fake::NewHandle(fake::HandleKind::Manager, static_cast<int>(access)));
}

SC_HANDLE OpenServiceA(SC_HANDLE manager, LPCSTR name, DWORD access) {
  fake::Bookkeeping b;
  fake::Record("OpenServiceA", fake::Name(manager) +
                                   " name=" + fake::Text(name) +
                                   " access=" + fake::Hex(access));
  fake::HandleInfo *info = fake::FindHandle(manager);
  if (info == nullptr || !info->open || info->kind != fake::HandleKind::Manager)
    return fake::Fail(ERROR_INVALID_HANDLE, nullptr);
  if (name == nullptr) return fake::Fail(ERROR_INVALID_PARAMETER, nullptr);
  // Service names are compared without regard to case.
  const char kName[] = "STISVC";
  bool same = std::strlen(name) == std::strlen(kName);
  for (size_t i = 0; same && name[i]; ++i)
    same = std::toupper(static_cast<unsigned char>(name[i])) == kName[i];
  if (!same || !Service().installed)
    return fake::Fail(ERROR_SERVICE_DOES_NOT_EXIST, nullptr);
  if (Service().openDenied) return fake::Fail(ERROR_ACCESS_DENIED, nullptr);
  return static_cast<SC_HANDLE>(
      fake::NewHandle(fake::HandleKind::Service, static_cast<int>(access)));
}

BOOL QueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS status) {
  fake::Bookkeeping b;
  int n = ++P().statusCalls;
  fake::Record("QueryServiceStatus", fake::Name(service), status,
               sizeof(SERVICE_STATUS));
  S().tick += Service().statusQueryMs;
  if (!P().moving || P().pendingLeft < 0) S().tick += Service().heldQueryMs;
  if (!fake::UsableService(service, SERVICE_QUERY_STATUS)) return FALSE;
  if (status == nullptr) return fake::Fail(fake::kErrorNullRefPointer, FALSE);
  if (n > Service().statusQueryLimit)
    return fake::Fail(ERROR_GEN_FAILURE, FALSE);
  if (fake::StatusQueryFails(n))
    return fake::Fail(Service().statusQueryError, FALSE);
  fake::AdvanceAfterQuery();
  fake::FillStatus(status);
  return Service().statusTrueValue;
}

BOOL QueryServiceConfigA(SC_HANDLE service, LPQUERY_SERVICE_CONFIGA config,
                         DWORD bufSize, LPDWORD bytesNeeded) {
  fake::Bookkeeping b;
  std::string detail = fake::Name(service) +
                       " size=" + std::to_string(bufSize) +
                       " block=" + (config ? "set" : "null") +
                       " needed=" + (bytesNeeded ? "set" : "null");
  if (config != nullptr && bufSize > 0) {
    // Whether the caller cleared the block before handing it over.
    bool zeroed = true;
    const unsigned char *bytes = reinterpret_cast<unsigned char *>(config);
    for (DWORD i = 0; i < bufSize; ++i) zeroed = zeroed && bytes[i] == 0;
    detail += zeroed ? " zeroed=1" : " zeroed=0";
  }
  fake::Record("QueryServiceConfigA", detail, config, bufSize);
  if (!fake::UsableService(service, SERVICE_QUERY_CONFIG)) return FALSE;
  if (bytesNeeded == nullptr)
    return fake::Fail(fake::kErrorNullRefPointer, FALSE);
  const fake::FakeService &svc = Service();
  const DWORD needed = fake::ServiceConfigBytes();
  if (bufSize < needed) {
    int probe = ++P().probes;
    bool scripted =
        svc.configProbeErrorTimes < 0 || probe <= svc.configProbeErrorTimes;
    DWORD error = scripted ? svc.configProbeError : ERROR_INSUFFICIENT_BUFFER;
    if (error == ERROR_SUCCESS) return TRUE;
    if (error == ERROR_INSUFFICIENT_BUFFER) {
      *bytesNeeded = needed;
      if (svc.allocFails) S().failNextAlloc = true;
    }
    return fake::Fail(error, FALSE);
  }
  if (config == nullptr) return fake::Fail(fake::kErrorNullRefPointer, FALSE);
  if (svc.configSecondFails) return fake::Fail(svc.configSecondError, FALSE);
  // The record first, its strings after it, inside the caller's block.
  char *next = reinterpret_cast<char *>(config + 1);
  auto place = [&next](const char *text, size_t bytes) {
    std::memcpy(next, text, bytes);
    char *at = next;
    next += bytes;
    return at;
  };
  config->dwServiceType = SERVICE_WIN32_SHARE_PROCESS;
  config->dwStartType = svc.startType;
  config->dwErrorControl = 1;  // SERVICE_ERROR_NORMAL
  config->lpBinaryPathName = place(fake::kBinaryPath, sizeof fake::kBinaryPath);
  config->lpLoadOrderGroup =
      place(fake::kLoadOrderGroup, sizeof fake::kLoadOrderGroup);
  config->dwTagId = 0;
  config->lpDependencies =
      place(fake::kDependencies, sizeof fake::kDependencies);
  config->lpServiceStartName = place(fake::kStartName, sizeof fake::kStartName);
  config->lpDisplayName = place(fake::kDisplayName, sizeof fake::kDisplayName);
  return TRUE;
}

BOOL ChangeServiceConfigA(SC_HANDLE service, DWORD serviceType, DWORD startType,
                          DWORD errorControl, LPCSTR binaryPathName,
                          LPCSTR loadOrderGroup, LPDWORD tagId,
                          LPCSTR dependencies, LPCSTR serviceStartName,
                          LPCSTR password, LPCSTR displayName) {
  fake::Bookkeeping b;
  fake::Record("ChangeServiceConfigA",
               fake::Name(service) + " type=" + fake::Hex(serviceType) +
                   " start=" + fake::Hex(startType) +
                   " error=" + fake::Hex(errorControl) +
                   " path=" + fake::Text(binaryPathName) +
                   " group=" + fake::Text(loadOrderGroup) +
                   " tag=" + (tagId ? "set" : "null") +
                   " deps=" + fake::Text(dependencies) +
                   " account=" + fake::Text(serviceStartName) +
                   " password=" + fake::Text(password) +
                   " display=" + fake::Text(displayName));
  if (!fake::UsableService(service, SERVICE_CHANGE_CONFIG)) return FALSE;
  if (Service().changeFails) return fake::Fail(Service().changeError, FALSE);
  // Boot and system start belong to drivers, not to a service process.
  if (startType != SERVICE_NO_CHANGE && startType != SERVICE_AUTO_START &&
      startType != SERVICE_DEMAND_START && startType != SERVICE_DISABLED)
    return fake::Fail(ERROR_INVALID_PARAMETER, FALSE);
  if (serviceType != SERVICE_NO_CHANGE || errorControl != SERVICE_NO_CHANGE ||
      binaryPathName || loadOrderGroup || tagId || dependencies ||
      serviceStartName || password || displayName)
    P().otherConfigChanged = true;
  if (startType != SERVICE_NO_CHANGE) Service().startType = startType;
  return TRUE;
}

BOOL ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status) {
  fake::Bookkeeping b;
  fake::Record("ControlService",
               fake::Name(service) + " control=" + std::to_string(control),
               status, sizeof(SERVICE_STATUS));
  if (control != SERVICE_CONTROL_STOP) {
    // The only control the fake knows; scanfw sends no other.
    if (!fake::UsableService(service, 0)) return FALSE;
    return fake::Fail(fake::kErrorInvalidServiceControl, FALSE);
  }
  if (!fake::UsableService(service, SERVICE_STOP)) return FALSE;
  if (status == nullptr) return fake::Fail(fake::kErrorNullRefPointer, FALSE);
  fake::FakeService &svc = Service();
  if (svc.state == SERVICE_STOPPED)
    return fake::Fail(ERROR_SERVICE_NOT_ACTIVE, FALSE);
  if (svc.stopRefused || fake::Pending(svc.state))
    return fake::Fail(fake::kErrorServiceCannotAcceptCtrl, FALSE);
  if ((svc.controlsAccepted & SERVICE_ACCEPT_STOP) == 0)
    return fake::Fail(fake::kErrorInvalidServiceControl, FALSE);
  fake::BeginMove(SERVICE_STOP_PENDING, svc.stopPendingQueries,
                  svc.stopFinalState);
  fake::FillStatus(status);
  return TRUE;
}

BOOL StartServiceA(SC_HANDLE service, DWORD argc, LPCSTR *argv) {
  fake::Bookkeeping b;
  fake::Record("StartServiceA", fake::Name(service) +
                                    " argc=" + std::to_string(argc) +
                                    " argv=" + (argv ? "set" : "null"));
  if (!fake::UsableService(service, SERVICE_START)) return FALSE;
  if (argc != 0 && argv == nullptr)
    return fake::Fail(ERROR_INVALID_PARAMETER, FALSE);
  fake::FakeService &svc = Service();
  if (svc.state != SERVICE_STOPPED)
    return fake::Fail(ERROR_SERVICE_ALREADY_RUNNING, FALSE);
  if (svc.startType == SERVICE_DISABLED)
    return fake::Fail(fake::kErrorServiceDisabled, FALSE);
  if (svc.startRefused)
    return fake::Fail(fake::kErrorServiceRequestTimeout, FALSE);
  fake::BeginMove(SERVICE_START_PENDING, svc.startPendingQueries,
                  svc.startFinalState);
  return TRUE;
}

BOOL CloseServiceHandle(SC_HANDLE handle) {
  fake::Bookkeeping b;
  fake::Record("CloseServiceHandle", fake::Name(handle));
  fake::HandleInfo *info = fake::FindHandle(handle);
  fake::HandleKind kind =
      info != nullptr && info->kind == fake::HandleKind::Manager
          ? fake::HandleKind::Manager
          : fake::HandleKind::Service;
  if (!fake::CloseFakeHandle(handle, kind))
    return fake::Fail(ERROR_INVALID_HANDLE, FALSE);
  return TRUE;
}
