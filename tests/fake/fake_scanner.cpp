// The simulated scanner: still-image devices behind \\.\usbscanN.
#include "tests/fake/fake_platform.h"

namespace fake {
void ResetScanner() {}
}  // namespace fake

HANDLE CreateFileA(LPCSTR name, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD,
                   DWORD, HANDLE) {
  fake::Record("CreateFileA", name ? name : "(null)");
  SetLastError(ERROR_FILE_NOT_FOUND);
  return INVALID_HANDLE_VALUE;
}
BOOL DeviceIoControl(HANDLE, DWORD, LPVOID, DWORD, LPVOID, DWORD, LPDWORD,
                     LPOVERLAPPED) {
  return FALSE;
}
BOOL WriteFile(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED) { return FALSE; }
BOOL ReadFile(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED) { return FALSE; }
HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL, BOOL, LPCSTR) { return nullptr; }
DWORD WaitForSingleObject(HANDLE, DWORD) { return WAIT_FAILED; }
BOOL GetOverlappedResult(HANDLE, LPOVERLAPPED, LPDWORD, BOOL) { return FALSE; }
BOOL CloseHandle(HANDLE) { return FALSE; }
