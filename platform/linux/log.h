// The Linux platform's own lines for the diagnostic log: what happens below
// the Windows calls, written through the routine the log names
// (SetPlatformLogRoutine). Nothing is formatted while no routine is named.
#pragma once

#include "platform/win32.h"

namespace linux_log {

bool On();
void Line(const char *format, ...) __attribute__((format(printf, 1, 2)));
// A call below the Windows layer that failed: its code and the code's name.
void Failed(const char *call, int code, const char *name);

}  // namespace linux_log
