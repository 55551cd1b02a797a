// The executable's own resources on Linux. Not carried yet.
#include "platform/win32.h"

HRSRC FindResourceA(HMODULE, LPCSTR, LPCSTR) {
  SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
  return nullptr;
}
HGLOBAL LoadResource(HMODULE, HRSRC) { return nullptr; }
LPVOID LockResource(HGLOBAL) { return nullptr; }
DWORD SizeofResource(HMODULE, HRSRC) { return 0; }
