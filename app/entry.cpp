#include "app/entry.h"

#include <cstring>

#include "app/discovery.h"
#include "app/info.h"
#include "app/interrupt.h"
#include "app/update.h"
#include "app/window.h"
#include "messages/diagnostics.h"
#include "platform/win32.h"

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

}  // namespace

void ReadCommandLine(int argc, char **argv, CommandLine *line) {
  *line = CommandLine();
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
    }
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

// The run once the command line is read: an answer, or discovery and the
// update; its exit status.
int Run(const CommandLine &line, LanguageIndex language) {
  // Asking is never updating: each of these answers and ends the run with 0,
  // without the option-value line, without opening the scanner for an
  // update and without touching the service.
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

  const int32_t optionValue = ReportOptions(line, language);
  PrintConsole("%d\n", static_cast<int>(optionValue));
  UpdateOutcome outcome = kOutcomeNotFound;
  const DeviceHandle device = Discover(language);
  // The found device stays open until the process ends.
  if (device != INVALID_HANDLE_VALUE) {
    outcome = RunUpdate(device, language);
  } else if (RunWasCancelled()) {
    outcome = kOutcomeCancelled;
  }
  diag::Line("outcome %d: %s; exit status %d%s", static_cast<int>(outcome),
             OutcomeName(outcome),
             line.exitCode ? static_cast<int>(outcome) : 0,
             line.exitCode ? " (--exit-code)" : " (no --exit-code)");
  return line.exitCode ? static_cast<int>(outcome) : 0;
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
  // Help is only the usage text, with or without --verbose.
  if (line.verbose && !line.help) {
    diag::Start(argc, argv, langId, language);
  } else {
    diag::Stop();
  }
  // Asked before the run, so that the service calls are the run's last, and
  // with --exit-code too, so that it changes nothing else: whoever asks for
  // the exit code reads it, not a window.
  const bool holdWindow = StartedFromExplorer() && !line.exitCode;
  const int status = Run(line, language);
  if (holdWindow) HoldWindowOpen(language);
  return status;
}
