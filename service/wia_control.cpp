// The still-image service controller. While the scanner takes its firmware,
// the system's image service must not talk to it: the service is stopped and
// disabled first, then set to start automatically and started again.
#include "service/wia_control.h"

#include <cstring>

#include "messages/diagnostics.h"
#include "messages/messages.h"

namespace {

const char kServiceName[] = "STISVC";

// Exactly the rights the four operations use, no more.
const DWORD kServiceAccess = SERVICE_QUERY_CONFIG | SERVICE_CHANGE_CONFIG |
                             SERVICE_QUERY_STATUS | SERVICE_START |
                             SERVICE_STOP;

// A service that never reaches the awaited state, or reports an absurd wait
// hint, must not hang the updater with the image service half stopped.
const DWORD kPollDeadlineMs = 60000;
// A service reporting a wait hint of 0 must not get back-to-back queries.
const DWORD kPollFloorMs = 100;

#define SCANFW_NAME_CASE(name) \
  case name:                   \
    return #name;

const char *ServiceStateName(DWORD state) {
  switch (state) {
    SCANFW_NAME_CASE(SERVICE_STOPPED)
    SCANFW_NAME_CASE(SERVICE_START_PENDING)
    SCANFW_NAME_CASE(SERVICE_STOP_PENDING)
    SCANFW_NAME_CASE(SERVICE_RUNNING)
    SCANFW_NAME_CASE(SERVICE_CONTINUE_PENDING)
    SCANFW_NAME_CASE(SERVICE_PAUSE_PENDING)
    SCANFW_NAME_CASE(SERVICE_PAUSED)
    default:
      return "unknown state";
  }
}

const char *StartTypeName(DWORD startType) {
  switch (startType) {
    SCANFW_NAME_CASE(SERVICE_BOOT_START)
    SCANFW_NAME_CASE(SERVICE_SYSTEM_START)
    SCANFW_NAME_CASE(SERVICE_AUTO_START)
    SCANFW_NAME_CASE(SERVICE_DEMAND_START)
    SCANFW_NAME_CASE(SERVICE_DISABLED)
    default:
      return "unknown start type";
  }
}

#undef SCANFW_NAME_CASE

// What the log last showed of the service, for its last word; null while
// nothing was.
const char *g_stateShown = nullptr;
const char *g_startTypeShown = nullptr;

void ShowStatus(const char *when, const SERVICE_STATUS &status) {
  if (!diag::On()) return;
  g_stateShown = ServiceStateName(status.dwCurrentState);
  diag::Line("service STISVC %s: %s, controls accepted 0x%lX, wait hint %lu ms",
             when, g_stateShown,
             static_cast<unsigned long>(status.dwControlsAccepted),
             static_cast<unsigned long>(status.dwWaitHint));
}

void ShowStartType(const char *when, DWORD startType) {
  if (!diag::On()) return;
  g_startTypeShown = StartTypeName(startType);
  diag::Line("service STISVC start type %s: %s", when, g_startTypeShown);
}

// Reads the status into `status` until the service reports `wanted`, a query
// fails, or the deadline passes. The pause of the status's wait hint comes
// before the state test, at least kPollFloorMs when another query follows,
// capped at the time left. Tick differences are taken in unsigned 32-bit
// arithmetic so that the counter's wrap does no harm.
void AwaitState(SC_HANDLE service, LPSERVICE_STATUS status, DWORD wanted) {
  const DWORD start = GetTickCount();
  while (QueryServiceStatus(service, status) == TRUE) {
    const DWORD elapsed = GetTickCount() - start;
    const DWORD left =
        elapsed < kPollDeadlineMs ? kPollDeadlineMs - elapsed : 0;
    DWORD pause = status->dwWaitHint;
    if (status->dwCurrentState != wanted && pause < kPollFloorMs)
      pause = kPollFloorMs;
    if (pause > left) pause = left;
    if (diag::On()) {
      g_stateShown = ServiceStateName(status->dwCurrentState);
      diag::Line(
          "service poll: %s, checkpoint %lu, wait hint %lu ms, pausing %lu ms",
          g_stateShown, static_cast<unsigned long>(status->dwCheckPoint),
          static_cast<unsigned long>(status->dwWaitHint),
          static_cast<unsigned long>(pause));
    }
    Sleep(pause);
    if (status->dwCurrentState == wanted) return;
    if (GetTickCount() - start >= kPollDeadlineMs) {
      diag::Note("service poll: 60000 ms passed, the awaited state not seen");
      return;
    }
  }
  diag::CallFailedLastError("QueryServiceStatus (poll)");
}

void ReportConfigFailure(DWORD error) {
  PrintConsole("QueryServiceConfig failed (%d)", static_cast<int>(error));
}

}  // namespace

CWIAControl::CWIAControl()
    : m_hSCManager(nullptr),
      m_hService(nullptr),
      m_ServiceStatus(),
      m_StopRequested(false) {}

CWIAControl::~CWIAControl() {
  if (m_hSCManager != nullptr) {
    CloseServiceHandle(m_hSCManager);
    m_hSCManager = nullptr;
  }
  if (m_hService != nullptr) {
    CloseServiceHandle(m_hService);
    m_hService = nullptr;
  }
}

BOOL CWIAControl::QueryStatus(LPSERVICE_STATUS status) {
  if (status == nullptr) return FALSE;
  if (m_hSCManager == nullptr) {
    m_hSCManager = OpenSCManagerA(nullptr, nullptr, GENERIC_EXECUTE);
    if (m_hSCManager == nullptr) {
      diag::CallFailedLastError("OpenSCManagerA");
      return FALSE;
    }
  }
  if (m_hService == nullptr) {
    m_hService = OpenServiceA(m_hSCManager, kServiceName, kServiceAccess);
    if (m_hService == nullptr) {
      diag::CallFailedLastError("OpenServiceA(STISVC)");
      CloseServiceHandle(m_hSCManager);
      m_hSCManager = nullptr;
      return FALSE;
    }
  }
  std::memset(&m_ServiceStatus, 0, sizeof m_ServiceStatus);
  if (!QueryServiceStatus(m_hService, &m_ServiceStatus)) {
    diag::CallFailedLastError("QueryServiceStatus");
    // Handles that no longer answer are dropped; the next use reopens them.
    CloseServiceHandle(m_hService);
    m_hService = nullptr;
    CloseServiceHandle(m_hSCManager);
    m_hSCManager = nullptr;
    return FALSE;
  }
  ShowStatus("status", m_ServiceStatus);
  if (status != &m_ServiceStatus) *status = m_ServiceStatus;
  return TRUE;
}

BOOL CWIAControl::SetStartType(BYTE startType) {
  if (m_hSCManager == nullptr || m_hService == nullptr) {
    QueryStatus(&m_ServiceStatus);
    if (m_hSCManager == nullptr || m_hService == nullptr) return FALSE;
  }
  const DWORD wanted = startType;

  // The record's size depends on its strings, so ask for it first.
  DWORD needed = 0;
  DWORD size = 0;
  LPQUERY_SERVICE_CONFIGA config = nullptr;
  if (!QueryServiceConfigA(m_hService, nullptr, 0, &needed)) {
    const DWORD error = GetLastError();
    if (error != ERROR_INSUFFICIENT_BUFFER) {
      diag::CallFailed("QueryServiceConfigA (size)", error);
      ReportConfigFailure(error);
      return FALSE;
    }
    size = needed;
    config = static_cast<LPQUERY_SERVICE_CONFIGA>(LocalAlloc(LMEM_FIXED, size));
    if (config == nullptr) {
      const DWORD allocError = GetLastError();
      diag::CallFailed("LocalAlloc", allocError);
      ReportConfigFailure(allocError);
      return FALSE;
    }
    std::memset(config, 0, size);
  }

  if (!QueryServiceConfigA(m_hService, config, size, &needed) ||
      config == nullptr) {
    const DWORD queryError = GetLastError();
    diag::CallFailed("QueryServiceConfigA", queryError);
    ReportConfigFailure(queryError);
    if (config != nullptr) LocalFree(config);
    return FALSE;
  }

  ShowStartType("before the change", config->dwStartType);
  if (config->dwStartType == wanted) {
    LocalFree(config);
    return TRUE;
  }

  const BOOL changed = ChangeServiceConfigA(
      m_hService, SERVICE_NO_CHANGE, wanted, SERVICE_NO_CHANGE, nullptr,
      nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
  // A refused change is not reported on the console.
  const DWORD changeError = changed ? 0 : GetLastError();
  if (!changed) {
    diag::CallFailed("ChangeServiceConfigA to", changeError,
                     StartTypeName(wanted));
  } else if (diag::On()) {
    g_startTypeShown = StartTypeName(wanted);
    diag::Line("ChangeServiceConfigA: start type set to %s", g_startTypeShown);
  }
  LocalFree(config);
  return changed ? TRUE : FALSE;
}

void CWIAControl::SuspendService() {
  if (QueryStatus(&m_ServiceStatus) &&
      m_ServiceStatus.dwCurrentState == SERVICE_RUNNING) {
    // A service that refuses to stop keeps running; disabling it then would
    // only leave it unable to come back after a reboot.
    if (!ControlService(m_hService, SERVICE_CONTROL_STOP, &m_ServiceStatus)) {
      diag::CallFailedLastError("ControlService(SERVICE_CONTROL_STOP)");
      return;
    }
    diag::Note("ControlService(SERVICE_CONTROL_STOP): accepted");
    m_StopRequested = true;
    AwaitState(m_hService, &m_ServiceStatus, SERVICE_STOPPED);
  }
  SetStartType(SERVICE_DISABLED);
}

void CWIAControl::LogStartType(const char *when) {
  if (m_hService == nullptr) return;
  DWORD needed = 0;
  if (QueryServiceConfigA(m_hService, nullptr, 0, &needed) ||
      GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
    diag::CallFailedLastError("QueryServiceConfigA (size)");
    return;
  }
  LPQUERY_SERVICE_CONFIGA config =
      static_cast<LPQUERY_SERVICE_CONFIGA>(LocalAlloc(LMEM_FIXED, needed));
  if (config == nullptr) {
    diag::CallFailedLastError("LocalAlloc");
    return;
  }
  if (QueryServiceConfigA(m_hService, config, needed, &needed)) {
    ShowStartType(when, config->dwStartType);
  } else {
    diag::CallFailedLastError("QueryServiceConfigA");
  }
  LocalFree(config);
}

BOOL CWIAControl::ResumeService() {
  if (!SetStartType(SERVICE_AUTO_START)) return FALSE;
  if (!QueryStatus(&m_ServiceStatus)) return TRUE;
  // The stop this controller requested may still be under way when the poll
  // that followed it lost sight of the service; leaving it would keep the
  // service down for good. Wait for it, within the poll's usual bound.
  if (m_StopRequested && m_ServiceStatus.dwCurrentState == SERVICE_STOP_PENDING)
    AwaitState(m_hService, &m_ServiceStatus, SERVICE_STOPPED);
  // Only a stopped service is started; running, pending or paused ones are
  // left as they are.
  if (m_ServiceStatus.dwCurrentState != SERVICE_STOPPED) return TRUE;
  if (!StartServiceA(m_hService, 0, nullptr)) {
    diag::CallFailedLastError("StartServiceA");
    return FALSE;
  }
  diag::Note("StartServiceA: accepted");
  AwaitState(m_hService, &m_ServiceStatus, SERVICE_RUNNING);
  return TRUE;
}

void LogServiceEnd() {
  if (!diag::On()) return;
  if (g_stateShown == nullptr && g_startTypeShown == nullptr) {
    diag::Line(
        "service STISVC never seen: no service manager, or no such service");
  } else {
    diag::Line("service STISVC at the end: %s, start type %s",
               g_stateShown != nullptr ? g_stateShown : "state unknown",
               g_startTypeShown != nullptr ? g_startTypeShown : "unknown");
  }
  // The next run in this process starts without them.
  g_stateShown = nullptr;
  g_startTypeShown = nullptr;
}
