#include "app/entry.h"

#include <cstdio>
#include <cstring>

#include "app/discovery.h"
#include "app/info.h"
#include "app/interrupt.h"
#include "app/update.h"
#include "app/window.h"
#include "messages/diagnostics.h"
#include "messages/run_log.h"
#include "messages/usage.h"
#include "platform/win32.h"
#include "resources/firmware_image.h"

int32_t ParseOptionNumber(const char *text) {
  const char *p = text;
  while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\v' || *p == '\f' ||
         *p == '\r')
    ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = *p == '-';
    ++p;
  }
  // Accumulate the magnitude in 64 bits and stop growing once it is past
  // the 32-bit range, so any number of digits is safe.
  const int64_t limit = negative ? INT64_C(2147483648) : INT64_C(2147483647);
  int64_t magnitude = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    if (magnitude < limit) magnitude = magnitude * 10 + (*p - '0');
  }
  if (magnitude > limit) magnitude = limit;
  return static_cast<int32_t>(negative ? -magnitude : magnitude);
}

namespace {

bool Is(const char *arg, const char *option) {
  return std::strcmp(arg, option) == 0;
}

// The argument after an option that takes one, whatever it reads; null when
// there is none.
const char *ValueAfter(int argc, char **argv, int *i) {
  if (*i + 1 >= argc) return nullptr;
  return argv[++*i];
}

}  // namespace

int ParseDeviceName(const char *name) {
  static const char kPrefix[] = "\\\\.\\usbscan";
  const size_t prefix = sizeof kPrefix - 1;
  const char *digits = name;
  size_t i = 0;
  // Letters in any case; every other character only as itself.
  while (i < prefix && name[i] != '\0' &&
         (name[i] == kPrefix[i] || (kPrefix[i] >= 'a' && kPrefix[i] <= 'z' &&
                                    (name[i] | 0x20) == kPrefix[i])))
    ++i;
  if (i == prefix) digits = name + prefix;
  int index = 0;
  int count = 0;
  for (const char *p = digits; *p != '\0'; ++p, ++count) {
    if (*p < '0' || *p > '9' || count == 3) return -1;
    index = index * 10 + (*p - '0');
  }
  // As --list prints it: no leading zero, within the 256 names.
  if (count == 0 || (count > 1 && digits[0] == '0') || index >= kCandidateCount)
    return -1;
  return index;
}

void ReadCommandLine(int argc, char **argv, CommandLine *line) {
  *line = CommandLine();
  bool deviceGiven = false;
  bool deviceWrong = false;
  bool logWrong = false;
  for (int i = 1; i < argc; ++i) {
    const char *arg = argv[i];
    if (arg == nullptr || arg[0] == '\0' || arg[1] == '\0') continue;
    if (arg[1] == 'a') {
      line->optionValue = 1;
    } else if (arg[1] == 'b') {
      // The next argument is the number whatever it reads, even an option.
      if (i + 1 < argc && argv[i + 1] != nullptr) {
        ++i;
        line->optionValue = ParseOptionNumber(argv[i]);
      } else {
        ++line->missingNumbers;
      }
    } else if (Is(arg, "--help") || Is(arg, "-h") || Is(arg, "-?") ||
               Is(arg, "/?")) {
      line->help = true;
    } else if (Is(arg, "--version")) {
      line->version = true;
    } else if (Is(arg, "--list")) {
      line->list = true;
    } else if (Is(arg, "--exit-code")) {
      line->exitCode = true;
    } else if (Is(arg, "--verbose")) {
      line->verbose = true;
    } else if (Is(arg, "--all")) {
      line->all = true;
    } else if (Is(arg, "--check")) {
      line->check = true;
    } else if (Is(arg, "--one-at-a-time")) {
      line->oneAtATime = true;
    } else if (Is(arg, "--allow-older")) {
      line->policy.allowOlder = true;
    } else if (Is(arg, "--allow-reinstall")) {
      line->policy.allowReinstall = true;
    } else if (Is(arg, "--device")) {
      const char *name = ValueAfter(argc, argv, &i);
      deviceGiven = true;
      line->device = name != nullptr ? ParseDeviceName(name) : -1;
      if (line->device < 0) deviceWrong = true;
    } else if (Is(arg, "--log")) {
      const char *file = ValueAfter(argc, argv, &i);
      line->log = file;
      logWrong = logWrong || file == nullptr || file[0] == '\0';
    }
  }
  if (deviceWrong) {
    line->error = kLineDeviceName;
  } else if (logWrong) {
    line->error = kLineLogFile;
  } else if (deviceGiven && line->all) {
    line->error = kLineAllWithDevice;
  }
}

int32_t ReportOptions(const CommandLine &line, LanguageIndex language) {
  for (int i = 0; i < line.missingNumbers; ++i)
    PrintMessage(MsgNoFollowingArgument, language);
  return line.optionValue;
}

int32_t ScanOptions(int argc, char **argv, LanguageIndex language) {
  CommandLine line;
  ReadCommandLine(argc, argv, &line);
  return ReportOptions(line, language);
}

namespace {

// What the platform checks its console against before it answers Chinese.
bool EveryChineseText(bool (*visit)(const char *text)) {
  return EveryText(kLanguageTraditionalChinese, visit);
}

// The update of the scanner the command line chooses: the first found, or
// the one --device names.
UpdateOutcome UpdateChosenScanner(const CommandLine &line,
                                  LanguageIndex language) {
  int release = -1;
  const DeviceHandle device =
      DiscoverAmong(language, CandidatesFor(line.device), &release);
  // The found device stays open until the process ends.
  if (device != INVALID_HANDLE_VALUE)
    return RunUpdate(device, language, release, line.policy);
  return RunWasCancelled() ? kOutcomeCancelled : kOutcomeNotFound;
}

// The last word of a --check's record: its own answer, never an update's.
const char *CheckAnswer(int status) {
  switch (status) {
    case 0:
      return "every scanner current or newer";
    case kOutcomeNotFound:
      return "no scanner";
    case kOutcomeNeedsFirmware:
      return "a scanner needs this firmware";
    case kOutcomeReleaseUnknown:
      return "release unknown";
  }
  return OutcomeName(status);
}

// The run once the command line is read: an answer, or discovery and the
// update; its exit status, and in *what the outcome for the run's record.
int Run(const CommandLine &line, LanguageIndex language, const char **what) {
  // Asking is never updating: each of these answers and ends the run with 0,
  // without the option-value line, without opening the scanner for an
  // update and without touching the service.
  *what = "answered";
  if (line.help) {
    PrintUsage(language);
    return 0;
  }
  if (line.version) {
    PrintVersion(language);
    return 0;
  }
  if (line.list) {
    ListDevices(language);
    return 0;
  }
  // --check answers a detection rule: its status whether or not asked.
  if (line.check) {
    const int status =
        CheckScanners(language, line.device, CarriedFirmwareRelease());
    *what = CheckAnswer(status);
    return status;
  }

  const int32_t optionValue = ReportOptions(line, language);
  PrintConsole("%d\n", static_cast<int>(optionValue));
  const UpdateOutcome outcome =
      line.all ? UpdateEveryScanner(language, line.policy, line.oneAtATime)
               : UpdateChosenScanner(line, language);
  const int code = ExitCodeOf(outcome);
  diag::Line("outcome %d: %s; exit status %d%s", code, OutcomeName(outcome),
             line.exitCode ? code : 0,
             line.exitCode ? " (--exit-code)" : " (no --exit-code)");
  *what = OutcomeName(outcome);
  return line.exitCode ? code : 0;
}

// A command line that cannot be run: why, then the usage, on standard error.
void RefuseCommandLine(CommandLineError error, LanguageIndex language) {
  const CommandLineTexts &texts = CommandLineTextsFor(language);
  const char *why = error == kLineDeviceName ? texts.deviceName
                    : error == kLineLogFile  ? texts.logFile
                                             : texts.allWithDevice;
  PrintError("%s", why);
  PrintError("%s", UsageText(language));
}

// Opens --log's file; when it cannot be, says why on standard error. The
// name and the system's reason go out as the system gave them.
bool OpenRunLog(const char *path, LanguageIndex language) {
  char reason[256];
  if (runlog::Open(path, reason, sizeof reason)) return true;
  const CommandLineTexts &texts = CommandLineTextsFor(language);
  PrintError("%s", texts.logOpenBefore);
  std::fputs(path, stderr);
  PrintError("%s", texts.logOpenAfter);
  std::fprintf(stderr, "%s\n", reason);
  std::fflush(stderr);
  return false;
}

}  // namespace

int ScanfwMain(int argc, char **argv) {
  // Before anything else: without it Ctrl+C ends the process wherever it is.
  InstallInterruptHandler();
  BeginConsoleOutput();
  SetPlatformTextsRoutine(EveryChineseText);
  const LANGID langId = GetUserDefaultLangID();
  const LanguageIndex language = LanguageFromLangId(langId);
  CommandLine line;
  ReadCommandLine(argc, argv, &line);
  diag::Stop();
  // Nothing is touched for a command line that cannot be run, nor when the
  // record it asks for cannot be kept. A detection rule reads every exit
  // status, so --check is never answered 0 for a run that was refused.
  const int refused =
      line.exitCode || line.check ? static_cast<int>(kOutcomeRefused) : 0;
  if (line.error != kLineRunnable && !line.help) {
    RefuseCommandLine(line.error, language);
    return refused;
  }
  if (line.log != nullptr) {
    if (!OpenRunLog(line.log, language)) return refused;
    runlog::Begin(argc, argv);
  }
  // A detection rule that cannot be answered is answered before anything
  // is opened.
  if (line.check && !line.help && !line.version && !line.list &&
      CarriedFirmwareRelease() < 0) {
    PrintError("%s", CommandLineTextsFor(language).releaseUnknown);
    runlog::End(CheckAnswer(kOutcomeReleaseUnknown), kOutcomeReleaseUnknown);
    return kOutcomeReleaseUnknown;
  }
  // Help is only the usage text, with or without --verbose.
  if ((line.verbose || runlog::On()) && !line.help)
    diag::Start(argc, argv, langId, language, line.verbose);
  // Asked before the run, so that the service calls are the run's last, and
  // with --exit-code too, so that it changes nothing else: whoever asks for
  // the exit code reads it, not a window.
  const bool holdWindow = StartedFromExplorer() && !line.exitCode;
  const char *what = "";
  const int status = Run(line, language, &what);
  runlog::End(what, status);
  if (holdWindow) HoldWindowOpen(language);
  return status;
}
