// Linux has no Windows service control manager: the manager never opens, so
// the still-image service is never touched.
#include "platform/win32.h"

SC_HANDLE OpenSCManagerA(LPCSTR, LPCSTR, DWORD) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return nullptr;
}

SC_HANDLE OpenServiceA(SC_HANDLE, LPCSTR, DWORD) {
  SetLastError(ERROR_INVALID_HANDLE);
  return nullptr;
}

BOOL QueryServiceStatus(SC_HANDLE, LPSERVICE_STATUS) {
  SetLastError(ERROR_INVALID_HANDLE);
  return FALSE;
}

BOOL QueryServiceConfigA(SC_HANDLE, LPQUERY_SERVICE_CONFIGA, DWORD, LPDWORD) {
  SetLastError(ERROR_INVALID_HANDLE);
  return FALSE;
}

BOOL ChangeServiceConfigA(SC_HANDLE, DWORD, DWORD, DWORD, LPCSTR, LPCSTR,
                          LPDWORD, LPCSTR, LPCSTR, LPCSTR, LPCSTR) {
  SetLastError(ERROR_INVALID_HANDLE);
  return FALSE;
}

BOOL ControlService(SC_HANDLE, DWORD, LPSERVICE_STATUS) {
  SetLastError(ERROR_INVALID_HANDLE);
  return FALSE;
}

BOOL StartServiceA(SC_HANDLE, DWORD, LPCSTR *) {
  SetLastError(ERROR_INVALID_HANDLE);
  return FALSE;
}

BOOL CloseServiceHandle(SC_HANDLE) {
  SetLastError(ERROR_INVALID_HANDLE);
  return FALSE;
}
