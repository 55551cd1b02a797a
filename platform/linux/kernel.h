// What the Linux stand-in's kernel services share with the rest of it: its
// clock, and its own lines for the diagnostic log (what happens below the
// Windows calls), written through the routine the log names with
// SetPlatformLogRoutine; nothing is formatted while none is named.
#pragma once

#include <cstdint>

// Milliseconds on the monotonic clock, which no change of the date moves.
uint64_t MonotonicMs();

namespace linux_log {

bool On();
void Line(const char *format, ...) __attribute__((format(printf, 1, 2)));
// A call below the Windows layer that failed: its code and the code's name.
void Failed(const char *call, int code, const char *name);

}  // namespace linux_log
