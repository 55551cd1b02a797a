// Still-image devices on Linux. There is no USB backend yet: no device name
// opens, so discovery finds nothing.
#include "platform/linux/handles.h"
#include "platform/win32.h"

HANDLE CreateFileA(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD,
                   HANDLE) {
  SetLastError(ERROR_FILE_NOT_FOUND);
  return INVALID_HANDLE_VALUE;
}

BOOL DeviceIoControl(HANDLE, DWORD, LPVOID, DWORD, LPVOID, DWORD, LPDWORD,
                     LPOVERLAPPED) {
  SetLastError(ERROR_INVALID_HANDLE);
  return FALSE;
}

BOOL WriteFile(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED) {
  SetLastError(ERROR_INVALID_HANDLE);
  return FALSE;
}

BOOL ReadFile(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED) {
  SetLastError(ERROR_INVALID_HANDLE);
  return FALSE;
}

BOOL GetOverlappedResult(HANDLE, LPOVERLAPPED, LPDWORD, BOOL) {
  SetLastError(ERROR_INVALID_HANDLE);
  return FALSE;
}
