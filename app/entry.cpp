#include "app/entry.h"

#include "app/discovery.h"
#include "app/interrupt.h"
#include "app/update.h"
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

int32_t ScanOptions(int argc, char **argv, LanguageIndex language) {
  int32_t value = 0;
  for (int i = 1; i < argc; ++i) {
    const char *arg = argv[i];
    if (arg == nullptr || arg[0] == '\0' || arg[1] == '\0') continue;
    if (arg[1] == 'a') {
      value = 1;
    } else if (arg[1] == 'b') {
      if (i + 1 < argc && argv[i + 1] != nullptr) {
        ++i;
        value = ParseOptionNumber(argv[i]);
      } else {
        PrintMessage(MsgNoFollowingArgument, language);
      }
    }
  }
  return value;
}

int ScanfwMain(int argc, char **argv) {
  // Before anything else: without it Ctrl+C ends the process wherever it is.
  InstallInterruptHandler();
  const LanguageIndex language = LanguageFromLangId(GetUserDefaultLangID());
  const int32_t optionValue = ScanOptions(argc, argv, language);
  PrintConsole("%d\n", static_cast<int>(optionValue));
  const DeviceHandle device = Discover(language);
  // The found device stays open until the process ends.
  if (device != INVALID_HANDLE_VALUE) RunUpdate(device, language);
  return 0;
}
