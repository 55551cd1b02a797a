// The diagnostic log of --verbose: one English line per event on standard
// error, each starting with the milliseconds since the run began. The rest
// of the program reports facts here where it learns them; every line is
// formatted here. Off unless Start was called: each call then returns at
// once, and callers test On() before gathering anything only the log needs.
// No call allocates: a line is formatted on the stack and written whole.
#pragma once

#include <cstdint>

#include "device/protocol.h"
#include "messages/messages.h"
#include "platform/win32.h"

namespace diag {

extern bool g_on;
inline bool On() { return g_on; }

// Turns the log on and writes the run's first lines: version and
// architecture, the LANGID and the language chosen, the arguments. Every
// line goes to the run's record (messages/run_log.h) when it is open, and to
// standard error when `echo` (--verbose).
void Start(int argc, char **argv, LANGID langId, LanguageIndex language,
           bool echo = true);
// Turns it off again (tests run many programs in one process).
void Stop();

// A free-standing remark, for the few events that have no fact of their own
// beyond their text.
void Note(const char *text);

// A platform call that failed with a Windows error code: its symbolic name
// and the system's text for it follow the number. Keeps the last error.
void CallFailed(const char *call, DWORD error);
// The same for the call's current last error (read once, left as it was).
void CallFailedLastError(const char *call);
// A failure below the Windows layer (libusb, the kernel): code and name.
void NativeFailed(const char *call, int code, const char *name);

// Discovery.
void DeviceOpened(const char *name, const DEVICE_DESCRIPTOR &descriptor);
void OpenFailed(const char *name, DWORD error);
void IdentityFailed(const char *name, DWORD error);
// The end of a walk over the device names: how many gave "no such device".
void WalkEnded();

// The image.
void ImageFound(DWORD length, const char *sha256);

// The scanner's protocol. `phase` names what the answer means:
// 'R' readiness (ready or busy), 'D' download (not looked at), 'B' burn
// (burning, done or error).
void CommandSent(const CommandBlock &command);
void StatusAnswered(char phase, uint16_t status);
void Waiting(const char *what, DWORD milliseconds);
void ReadinessTimedOut(DWORD elapsed);
void SizeMismatch(const char *call, DWORD asked, DWORD transferred);

// The bulk write: Begin before the request, End after its completion.
void BulkBegin(DWORD asked);
void BulkEnd(bool ok, DWORD written);

// The service.
void ServiceStatus(const char *when, const SERVICE_STATUS &status);
void ServiceStartType(const char *when, DWORD startType);
void StartTypeChange(DWORD wanted, bool ok, DWORD error);
void ServicePoll(const SERVICE_STATUS &status, DWORD pause);
void ServiceEnd();

// The Linux platform: how a bulk write is cut, and each retreat after the
// kernel refused memory.
void BulkPlanChosen(uint32_t chunkBytes, uint32_t inFlight, uint32_t urbBytes);
void BulkPlanShrunk(uint32_t chunkBytes, uint32_t inFlight);
void Inhibitor(const char *what, int code, const char *name);

// The run's end: the outcome, named, and the exit status it gives.
void Outcome(int outcome, bool exitCode);

// Names for the log and its tests.
const char *StatusMeaning(char phase, uint16_t status);
const char *ServiceStateName(DWORD state);
const char *StartTypeName(DWORD startType);
const char *OutcomeName(int outcome);

}  // namespace diag
