// Kernel services of the Linux stand-in: clock, log, memory, last error and
// the completion events that the transport uses.
#include "platform/linux/kernel.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "platform/linux/handles.h"
#include "platform/win32.h"

namespace {
// Each thread's own, as Windows keeps it.
thread_local DWORD g_lastError = 0;
PLATFORM_LOG_ROUTINE g_logRoutine = nullptr;
}  // namespace

uint64_t MonotonicMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000u +
         static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

void SetPlatformLogRoutine(PLATFORM_LOG_ROUTINE routine) {
  g_logRoutine = routine;
}

namespace linux_log {

bool On() { return g_logRoutine != nullptr; }

void Line(const char *format, ...) {
  if (g_logRoutine == nullptr) return;
  char line[512];
  va_list args;
  va_start(args, format);
  const int used = std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  if (used >= 0) g_logRoutine(line);
}

void Failed(const char *call, int code, const char *name) {
  Line("%s failed: %d %s", call, code, name != nullptr ? name : "(no name)");
}

}  // namespace linux_log

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
  if (linux_handles::IsThread(handle))
    return linux_handles::WaitThread(handle, milliseconds) ? WAIT_OBJECT_0
                                                           : WAIT_TIMEOUT;
  // Every request completes before its call returns, so an event is either
  // signalled already or never will be.
  return linux_handles::ConsumeEvent(handle) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T,
                    LPTHREAD_START_ROUTINE routine, LPVOID parameter, DWORD,
                    LPDWORD) {
  return linux_handles::NewThread(routine, parameter);
}

BOOL CloseHandle(HANDLE handle) {
  return linux_handles::Close(handle) ? TRUE : FALSE;
}
