#include "platform/linux/log.h"

#include <cstdarg>
#include <cstdio>

namespace {
PLATFORM_LOG_ROUTINE g_routine = nullptr;
}  // namespace

void SetPlatformLogRoutine(PLATFORM_LOG_ROUTINE routine) {
  g_routine = routine;
}

namespace linux_log {

bool On() { return g_routine != nullptr; }

void Line(const char *format, ...) {
  if (g_routine == nullptr) return;
  char line[512];
  va_list args;
  va_start(args, format);
  const int used = std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  if (used >= 0) g_routine(line);
}

void Failed(const char *call, int code, const char *name) {
  Line("%s failed: %d %s", call, code, name != nullptr ? name : "(no name)");
}

}  // namespace linux_log
