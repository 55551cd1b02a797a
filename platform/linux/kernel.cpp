// Kernel services of the Linux stand-in: language, clock, memory, last error
// and the completion events that the transport uses.
#include "platform/linux/kernel.h"

#include <cerrno>
#include <cstdlib>
#include <ctime>

#include "platform/linux/console_text.h"
#include "platform/linux/handles.h"
#include "platform/linux/locale_langid.h"
#include "platform/win32.h"

namespace {
DWORD g_lastError = 0;
}  // namespace

uint64_t MonotonicMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000u +
         static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

LANGID GetUserDefaultLangID() {
  const LANGID id = LangIdFromEnvironment();
  // English that reads beats Chinese that does not.
  return id == 0x0404 && !LocaleShowsChinese() ? 0x0409 : id;
}

DWORD GetLastError() { return g_lastError; }
void SetLastError(DWORD error) { g_lastError = error; }

// Milliseconds since an arbitrary start, wrapping at 2^32 like Windows.
DWORD GetTickCount() { return static_cast<DWORD>(MonotonicMs()); }

// Linux keeps no texts for Windows error codes; the log names the code
// without one.
DWORD FormatMessageA(DWORD, LPCVOID, DWORD, DWORD, LPSTR buffer, DWORD size,
                     void *) {
  if (buffer != nullptr && size > 0) buffer[0] = '\0';
  g_lastError = ERROR_MR_MID_NOT_FOUND;
  return 0;
}

void Sleep(DWORD milliseconds) {
  timespec left{static_cast<time_t>(milliseconds / 1000),
                static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

HLOCAL LocalAlloc(UINT flags, SIZE_T bytes) {
  (void)flags;  // only fixed blocks are asked for
  void *block = std::malloc(bytes ? bytes : 1);
  if (block == nullptr) g_lastError = ERROR_NOT_ENOUGH_MEMORY;
  return block;
}

HLOCAL LocalFree(HLOCAL block) {
  std::free(block);
  return nullptr;
}

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState,
                    LPCSTR) {
  return linux_handles::NewEvent(manualReset != FALSE, initialState != FALSE);
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  (void)milliseconds;
  // Every request completes before its call returns, so an event is either
  // signalled already or never will be.
  return linux_handles::ConsumeEvent(handle) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

BOOL CloseHandle(HANDLE handle) {
  return linux_handles::Close(handle) ? TRUE : FALSE;
}
