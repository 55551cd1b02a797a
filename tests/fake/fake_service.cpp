// The simulated service control manager and its "STISVC".
#include "tests/fake/fake_platform.h"

namespace fake {
void ResetService() {}
}  // namespace fake

SC_HANDLE OpenSCManagerA(LPCSTR, LPCSTR, DWORD) { return nullptr; }
SC_HANDLE OpenServiceA(SC_HANDLE, LPCSTR, DWORD) { return nullptr; }
BOOL QueryServiceStatus(SC_HANDLE, LPSERVICE_STATUS) { return FALSE; }
BOOL QueryServiceConfigA(SC_HANDLE, LPQUERY_SERVICE_CONFIGA, DWORD, LPDWORD) {
  return FALSE;
}
BOOL ChangeServiceConfigA(SC_HANDLE, DWORD, DWORD, DWORD, LPCSTR, LPCSTR,
                          LPDWORD, LPCSTR, LPCSTR, LPCSTR, LPCSTR) {
  return FALSE;
}
BOOL ControlService(SC_HANDLE, DWORD, LPSERVICE_STATUS) { return FALSE; }
BOOL StartServiceA(SC_HANDLE, DWORD, LPCSTR *) { return FALSE; }
BOOL CloseServiceHandle(SC_HANDLE) { return FALSE; }
