// The simulated resource carrier of the firmware image.
#include "tests/fake/fake_platform.h"

namespace fake {
void ResetImage() {}
}  // namespace fake

HRSRC FindResourceA(HMODULE, LPCSTR, LPCSTR) { return nullptr; }
HGLOBAL LoadResource(HMODULE, HRSRC) { return nullptr; }
LPVOID LockResource(HGLOBAL) { return nullptr; }
DWORD SizeofResource(HMODULE, HRSRC) { return 0; }
