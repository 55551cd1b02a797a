// The calls of the wait after a run that Explorer started. No process here
// is started by Explorer: there is no process snapshot, and no console input
// to flush or read.
#include <unistd.h>

#include "platform/win32.h"

BOOL FlushConsoleInputBuffer(HANDLE) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return FALSE;
}

BOOL ReadConsoleInputA(HANDLE, PINPUT_RECORD, DWORD, LPDWORD read) {
  if (read != nullptr) *read = 0;
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return FALSE;
}

DWORD GetCurrentProcessId() { return static_cast<DWORD>(getpid()); }

HANDLE CreateToolhelp32Snapshot(DWORD, DWORD) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return INVALID_HANDLE_VALUE;
}

BOOL Process32First(HANDLE, LPPROCESSENTRY32) {
  SetLastError(ERROR_NO_MORE_FILES);
  return FALSE;
}

BOOL Process32Next(HANDLE, LPPROCESSENTRY32) {
  SetLastError(ERROR_NO_MORE_FILES);
  return FALSE;
}
