// The diagnostic log of --verbose: one English line per event on standard
// error, each starting with the milliseconds since the run began. Each
// module writes the facts it learns, in its own words; this one only
// formats a line and writes it. Off unless Start was called: each call then
// returns at once, and callers test On() before gathering anything only the
// log needs.
// No call allocates: a line is formatted on the stack and written whole,
// under output::g_lock (messages/output_lock.h), so that the console control
// handler's thread can log too.
#pragma once

#include <atomic>
#include <cstdint>

#include "messages/messages.h"
#include "platform/win32.h"

namespace diag {

extern std::atomic<bool> g_on;
inline bool On() { return g_on.load(std::memory_order_relaxed); }

// Turns the log on and writes the run's first lines: version and
// architecture, the LANGID and the language chosen, the arguments. Every
// line goes to the run's record (messages/run_log.h) when it is open, and to
// standard error when `echo` (--verbose). The platform's own lines come in
// through it too.
void Start(int argc, char **argv, LANGID langId, LanguageIndex language,
           bool echo = true);
// Turns it off again (tests run many programs in one process).
void Stop();

// One line of the log, formatted as printf does. The module that knows a
// fact formats it; nothing is written while the log is off.
void Line(const char *format, ...) SCANFW_PRINTF(1, 2);
// The scanner the calling thread updates (--all side by side): its lines
// name it after the time. Null for none.
void SetThreadSubject(const char *subject);
// A line that is only a remark.
void Note(const char *text);

// A platform call that failed with a Windows error code, on `subject` where
// one is given: its symbolic name and the system's text for it follow the
// number. Keeps the last error.
void CallFailed(const char *call, DWORD error, const char *subject = "");
// The same for the call's current last error (read once, left as it was).
void CallFailedLastError(const char *call);

}  // namespace diag
