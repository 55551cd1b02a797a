#include "messages/diagnostics.h"

#include <cstdarg>
#include <cstdio>

#include "messages/error_names.h"
#include "messages/output_lock.h"
#include "messages/run_log.h"
#include "scanfw_version.h"

namespace {

#define SCANFW_ERROR_ROW(name) {static_cast<uint32_t>(name), #name},
const ErrorName kWindowsErrors[] = {SCANFW_WINDOWS_ERRORS(SCANFW_ERROR_ROW)};
#undef SCANFW_ERROR_ROW

// The scanner this thread updates (--all side by side), named on each of
// its lines.
thread_local const char *t_subject = nullptr;

// Guarded by output::g_lock.
DWORD g_start = 0;
bool g_echo = false;  // --verbose: the lines go to standard error too

// The one writer: "<ms> ms  <text>\n", formatted on the stack, written in
// one call so that a line is never split. The caller holds output::g_lock.
void Write(const char *format, va_list args) {
  char line[640];
  const DWORD elapsed = GetTickCount() - g_start;
  int used =
      t_subject == nullptr
          ? std::snprintf(line, sizeof line, "%lu ms  ",
                          static_cast<unsigned long>(elapsed))
          : std::snprintf(line, sizeof line,
                          "%lu ms  %s: ", static_cast<unsigned long>(elapsed),
                          t_subject);
  if (used < 0) return;
  const int text =
      std::vsnprintf(line + used, sizeof line - 1 - used, format, args);
  if (text < 0) return;
  used += text;
  if (used > static_cast<int>(sizeof line) - 2) used = sizeof line - 2;
  line[used] = '\n';
  line[used + 1] = '\0';
  if (g_echo) std::fputs(line, stderr);
  runlog::Line(line, static_cast<size_t>(used) + 1);
}

// The system's text for `error`, English where the system has it, on one
// line; empty when there is none. The last error is left as it was.
void SystemText(DWORD error, char *text, DWORD size) {
  const DWORD saved = GetLastError();
  const DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM |
                      FORMAT_MESSAGE_IGNORE_INSERTS |
                      FORMAT_MESSAGE_MAX_WIDTH_MASK;
  DWORD length = FormatMessageA(flags, nullptr, error,
                                MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
                                text, size, nullptr);
  if (length == 0)
    length = FormatMessageA(flags, nullptr, error, 0, text, size, nullptr);
  if (length >= size) length = 0;
  while (length > 0 && (text[length - 1] == ' ' || text[length - 1] == '\r' ||
                        text[length - 1] == '\n'))
    --length;
  text[length] = '\0';
  SetLastError(saved);
}

void Failure(const char *what, const char *subject, DWORD error) {
  char text[256];
  SystemText(error, text, sizeof text);
  const char *name = WindowsErrorName(error);
  diag::Line("%s%s%s failed: error %lu %s%s%s", what, subject[0] ? " " : "",
             subject, static_cast<unsigned long>(error),
             name != nullptr ? name : "(no name known)", text[0] ? ": " : "",
             text);
}

void PlatformLine(const char *text) { diag::Line("%s", text); }

}  // namespace

const ErrorName *WindowsErrorNames(int *count) {
  *count = static_cast<int>(sizeof kWindowsErrors / sizeof kWindowsErrors[0]);
  return kWindowsErrors;
}

const char *WindowsErrorName(uint32_t code) {
  for (const ErrorName &row : kWindowsErrors)
    if (row.code == code) return row.name;
  return nullptr;
}

namespace diag {

std::atomic<bool> g_on{false};

void Start(int argc, char **argv, LANGID langId, LanguageIndex language,
           bool echo) {
  const DWORD start = GetTickCount();
  {
    output::Guard guard(output::g_lock);
    g_echo = echo;
    g_start = start;
  }
  g_on = true;
  Line("scanfw %s, %s", SCANFW_VERSION, runlog::Architecture());
  Line("user's LANGID 0x%04X: messages in %s", static_cast<unsigned>(langId),
       language == kLanguageTraditionalChinese ? "Traditional Chinese (Big5)"
                                               : "English");
  for (int i = 0; i < argc; ++i)
    Line("argument %d: \"%s\"", i, argv[i] != nullptr ? argv[i] : "(null)");
  SetPlatformLogRoutine(PlatformLine);
}

void Stop() {
  g_on = false;
  SetPlatformLogRoutine(nullptr);
}

void Line(const char *format, ...) {
  if (!g_on) return;
  va_list args;
  va_start(args, format);
  {
    output::Guard guard(output::g_lock);
    Write(format, args);
  }
  va_end(args);
}

void SetThreadSubject(const char *subject) { t_subject = subject; }

void Note(const char *text) {
  if (g_on) Line("%s", text);
}

void CallFailed(const char *call, DWORD error, const char *subject) {
  if (g_on) Failure(call, subject, error);
}

void CallFailedLastError(const char *call) {
  if (g_on) Failure(call, "", GetLastError());
}

}  // namespace diag
