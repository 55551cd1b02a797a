#include "messages/diagnostics.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "messages/error_names.h"
#include "messages/run_log.h"
#include "scanfw_version.h"

// The table's values are the platform's: a wrong row does not build.
#define SCANFW_CHECK_ERROR(name, value) \
  static_assert((name) == (value), #name " has another value here");
SCANFW_WINDOWS_ERRORS(SCANFW_CHECK_ERROR)
#undef SCANFW_CHECK_ERROR

namespace {

#define SCANFW_ERROR_ROW(name, value) {value, #name},
const ErrorName kWindowsErrors[] = {SCANFW_WINDOWS_ERRORS(SCANFW_ERROR_ROW)};
#undef SCANFW_ERROR_ROW

#ifdef _WIN32
const char kImagePlace[] = "resource BINARY/119 of the executable";
#else
const char kImagePlace[] = "the executable's read-only image section";
#endif

const DWORD kUnknown = 0xFFFFFFFFu;

DWORD g_start = 0;
bool g_echo = false;  // --verbose: the lines go to standard error too
int g_absent = 0;     // device names with nothing behind them, this walk
DWORD g_bulkAsked = 0;
DWORD g_bulkStart = 0;
DWORD g_serviceState = kUnknown;
DWORD g_startType = kUnknown;

// The one writer: "<ms> ms  <text>\n", formatted on the stack, written in
// one call so that a line is never split.
void Line(const char *format, ...) SCANFW_PRINTF(1, 2);
void Line(const char *format, ...) {
  char line[640];
  const DWORD elapsed = GetTickCount() - g_start;
  int used = std::snprintf(line, sizeof line, "%lu ms  ",
                           static_cast<unsigned long>(elapsed));
  if (used < 0) return;
  va_list args;
  va_start(args, format);
  const int text =
      std::vsnprintf(line + used, sizeof line - 1 - used, format, args);
  va_end(args);
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
  Line("%s%s%s failed: error %lu %s%s%s", what, subject[0] ? " " : "", subject,
       static_cast<unsigned long>(error),
       name != nullptr ? name : "(no name known)", text[0] ? ": " : "", text);
}

void Hex16(const uint8_t *bytes, char *out) {
  static const char kDigits[] = "0123456789ABCDEF";
  for (int i = 0; i < 16; ++i) {
    out[3 * i] = kDigits[bytes[i] >> 4];
    out[3 * i + 1] = kDigits[bytes[i] & 0xF];
    out[3 * i + 2] = i == 15 ? '\0' : ' ';
  }
}

const char *CommandName(const CommandBlock &command) {
  const CommandBlock readiness = ReadinessQuery();
  const CommandBlock burn = BurnStatusQuery();
  if (std::memcmp(command.bytes, readiness.bytes, kCommandBlockSize) == 0)
    return "readiness query";
  if (std::memcmp(command.bytes, burn.bytes, kCommandBlockSize) == 0)
    return "burn-status query";
  if (command.bytes[4] == kOpcodeDownload) return "firmware download";
  return "unknown command";
}

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

bool g_on = false;

void Start(int argc, char **argv, LANGID langId, LanguageIndex language,
           bool echo) {
  g_on = true;
  g_echo = echo;
  g_start = GetTickCount();
  g_absent = 0;
  g_serviceState = kUnknown;
  g_startType = kUnknown;
  Line("scanfw %s, %s", SCANFW_VERSION, runlog::Architecture());
  Line("user's LANGID 0x%04X: messages in %s", static_cast<unsigned>(langId),
       language == kLanguageTraditionalChinese ? "Traditional Chinese (Big5)"
                                               : "English");
  for (int i = 0; i < argc; ++i)
    Line("argument %d: \"%s\"", i, argv[i] != nullptr ? argv[i] : "(null)");
}

void Stop() { g_on = false; }

void Note(const char *text) {
  if (g_on) Line("%s", text);
}

void CallFailed(const char *call, DWORD error) {
  if (g_on) Failure(call, "", error);
}

void CallFailedLastError(const char *call) {
  if (g_on) Failure(call, "", GetLastError());
}

void NativeFailed(const char *call, int code, const char *name) {
  if (g_on)
    Line("%s failed: %d %s", call, code, name != nullptr ? name : "(no name)");
}

void DeviceOpened(const char *name, const DEVICE_DESCRIPTOR &descriptor) {
  if (!g_on) return;
  Line("%s opened: vendor %04X, product %04X, release %04X", name,
       static_cast<unsigned>(descriptor.usVendorId),
       static_cast<unsigned>(descriptor.usProductId),
       static_cast<unsigned>(descriptor.usBcdDevice));
}

void OpenFailed(const char *name, DWORD error) {
  if (!g_on) return;
  // Most names have no device behind them: counted, not listed.
  if (error == ERROR_FILE_NOT_FOUND) {
    ++g_absent;
    return;
  }
  Failure("CreateFileA", name, error);
}

void IdentityFailed(const char *name, DWORD error) {
  if (g_on)
    Failure("DeviceIoControl(IOCTL_GET_DEVICE_DESCRIPTOR)", name, error);
}

void WalkEnded() {
  if (!g_on) return;
  Line(
      "%d device names had no device behind them (CreateFileA error 2 "
      "ERROR_FILE_NOT_FOUND)",
      g_absent);
  g_absent = 0;
}

void ImageFound(DWORD length, const char *sha256) {
  if (!g_on) return;
  Line("firmware image: %lu bytes, SHA-256 %s, in %s",
       static_cast<unsigned long>(length), sha256, kImagePlace);
}

void CommandSent(const CommandBlock &command) {
  if (!g_on) return;
  char hex[48];
  Hex16(command.bytes, hex);
  Line("command sent (%s): %s", CommandName(command), hex);
}

const char *StatusMeaning(char phase, uint16_t status) {
  const bool ready = status == kStatusIdle || status == kStatusDone;
  switch (phase) {
    case 'R':
      return ready ? "ready" : "busy";
    case 'B':
      return status == kStatusBurning ? "burning" : ready ? "done" : "error";
    default:
      return "the download's answer, not looked at";
  }
}

void StatusAnswered(char phase, uint16_t status) {
  if (!g_on) return;
  Line("status word 0x%04X: %s", static_cast<unsigned>(status),
       StatusMeaning(phase, status));
}

void Waiting(const char *what, DWORD milliseconds) {
  if (g_on)
    Line("waiting %lu ms: %s", static_cast<unsigned long>(milliseconds), what);
}

void ReadinessTimedOut(DWORD elapsed) {
  if (g_on)
    Line("no ready answer after %lu ms (the bound is 600000 ms)",
         static_cast<unsigned long>(elapsed));
}

void SizeMismatch(const char *call, DWORD asked, DWORD transferred) {
  if (g_on)
    Line("%s moved %lu bytes, %lu asked", call,
         static_cast<unsigned long>(transferred),
         static_cast<unsigned long>(asked));
}

void BulkBegin(DWORD asked) {
  if (!g_on) return;
  g_bulkAsked = asked;
  g_bulkStart = GetTickCount();
  Line("bulk write: %lu bytes asked", static_cast<unsigned long>(asked));
}

void BulkEnd(bool ok, DWORD written) {
  if (!g_on) return;
  const DWORD ms = GetTickCount() - g_bulkStart;
  char rate[48] = "rate not measurable under 1 ms";
  if (ms > 0) {
    // Hundredths of MiB/s, in integers.
    const uint64_t hundredths =
        static_cast<uint64_t>(written) * 100000u / (uint64_t{ms} * 1048576u);
    std::snprintf(rate, sizeof rate, "%llu.%02llu MiB/s",
                  static_cast<unsigned long long>(hundredths / 100),
                  static_cast<unsigned long long>(hundredths % 100));
  }
  Line("bulk write %s: %lu of %lu bytes written in %lu ms, %s",
       ok ? "done" : "failed", static_cast<unsigned long>(written),
       static_cast<unsigned long>(g_bulkAsked), static_cast<unsigned long>(ms),
       rate);
}

const char *ServiceStateName(DWORD state) {
  switch (state) {
    case SERVICE_STOPPED:
      return "SERVICE_STOPPED";
    case SERVICE_START_PENDING:
      return "SERVICE_START_PENDING";
    case SERVICE_STOP_PENDING:
      return "SERVICE_STOP_PENDING";
    case SERVICE_RUNNING:
      return "SERVICE_RUNNING";
    case SERVICE_CONTINUE_PENDING:
      return "SERVICE_CONTINUE_PENDING";
    case SERVICE_PAUSE_PENDING:
      return "SERVICE_PAUSE_PENDING";
    case SERVICE_PAUSED:
      return "SERVICE_PAUSED";
    default:
      return "unknown state";
  }
}

const char *StartTypeName(DWORD startType) {
  switch (startType) {
    case SERVICE_BOOT_START:
      return "SERVICE_BOOT_START";
    case SERVICE_SYSTEM_START:
      return "SERVICE_SYSTEM_START";
    case SERVICE_AUTO_START:
      return "SERVICE_AUTO_START";
    case SERVICE_DEMAND_START:
      return "SERVICE_DEMAND_START";
    case SERVICE_DISABLED:
      return "SERVICE_DISABLED";
    default:
      return "unknown start type";
  }
}

void ServiceStatus(const char *when, const SERVICE_STATUS &status) {
  if (!g_on) return;
  g_serviceState = status.dwCurrentState;
  Line("service STISVC %s: %s, controls accepted 0x%lX, wait hint %lu ms", when,
       ServiceStateName(status.dwCurrentState),
       static_cast<unsigned long>(status.dwControlsAccepted),
       static_cast<unsigned long>(status.dwWaitHint));
}

void ServiceStartType(const char *when, DWORD startType) {
  if (!g_on) return;
  g_startType = startType;
  Line("service STISVC start type %s: %s", when, StartTypeName(startType));
}

void StartTypeChange(DWORD wanted, bool ok, DWORD error) {
  if (!g_on) return;
  if (ok) {
    g_startType = wanted;
    Line("ChangeServiceConfigA: start type set to %s", StartTypeName(wanted));
  } else {
    Failure("ChangeServiceConfigA to", StartTypeName(wanted), error);
  }
}

void ServicePoll(const SERVICE_STATUS &status, DWORD pause) {
  if (!g_on) return;
  g_serviceState = status.dwCurrentState;
  Line("service poll: %s, checkpoint %lu, wait hint %lu ms, pausing %lu ms",
       ServiceStateName(status.dwCurrentState),
       static_cast<unsigned long>(status.dwCheckPoint),
       static_cast<unsigned long>(status.dwWaitHint),
       static_cast<unsigned long>(pause));
}

void ServiceEnd() {
  if (!g_on) return;
  if (g_serviceState == kUnknown && g_startType == kUnknown) {
    Line("service STISVC never seen: no service manager, or no such service");
    return;
  }
  Line("service STISVC at the end: %s, start type %s",
       g_serviceState == kUnknown ? "state unknown"
                                  : ServiceStateName(g_serviceState),
       g_startType == kUnknown ? "unknown" : StartTypeName(g_startType));
}

void BulkPlanChosen(uint32_t chunkBytes, uint32_t inFlight, uint32_t urbBytes) {
  if (!g_on) return;
  Line("bulk write as chunks of %lu bytes, at most %lu in flight (%s)",
       static_cast<unsigned long>(chunkBytes),
       static_cast<unsigned long>(inFlight),
       urbBytes == 0 ? "each chunk one URB" : "libusb cuts into 16 KiB URBs");
}

void BulkPlanShrunk(uint32_t chunkBytes, uint32_t inFlight) {
  if (!g_on) return;
  Line(
      "the kernel refused a chunk (ENOMEM): going on with chunks of %lu "
      "bytes, at most %lu in flight",
      static_cast<unsigned long>(chunkBytes),
      static_cast<unsigned long>(inFlight));
}

void Inhibitor(const char *what, int code, const char *name) {
  if (!g_on) return;
  if (name == nullptr) {
    Line("logind sleep and shutdown inhibitor %s", what);
  } else {
    Line("logind sleep and shutdown inhibitor %s: %d %s", what, code, name);
  }
}

const char *OutcomeName(int outcome) {
  static const char *const kNames[] = {"update done",
                                       "no scanner found",
                                       "firmware image unavailable",
                                       "scanner not ready",
                                       "image not sent",
                                       "burn failed",
                                       "cancelled by the user",
                                       "command line or log file refused",
                                       "a scanner needs this firmware",
                                       "firmware release unknown"};
  return outcome >= 0 && outcome < 10 ? kNames[outcome] : "unknown outcome";
}

void Outcome(int outcome, bool exitCode) {
  if (!g_on) return;
  Line("outcome %d: %s; exit status %d%s", outcome, OutcomeName(outcome),
       exitCode ? outcome : 0,
       exitCode ? " (--exit-code)" : " (no --exit-code)");
}

}  // namespace diag
