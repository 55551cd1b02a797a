// The bilingual message catalogue and the console-output operations.
// Every byte scanfw prints passes through PrintConsole.
#pragma once

#include <cstdint>
#include <string>

#if defined(__GNUC__)
#define SCANFW_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define SCANFW_PRINTF(fmt, args)
#endif

// 0 = English, 1 = Traditional Chinese.
typedef uint16_t LanguageIndex;
const LanguageIndex kLanguageEnglish = 0;
const LanguageIndex kLanguageTraditionalChinese = 1;

enum MessageId {
  MsgNoFollowingArgument = 0,
  MsgGetDescriptorError = 1,
  MsgDeviceFound = 2,
  MsgDeviceNotFound = 3,
  MsgLoadingFirmware = 4,
  MsgFindResourceError = 5,
  MsgLoadResourceError = 6,
  MsgLockResourceError = 7,
  MsgResourceEmpty = 8,
  MsgBlankLine = 9,
  MsgCheckingFirmware = 10,
  MsgDeviceBusy = 11,
  MsgStatusCheckError = 12,
  MsgDeviceNotResponding = 13,
  MsgSendingFirmware = 14,
  MsgSendCommandError = 15,
  MsgSendDataError = 16,
  MsgUpgradeWait = 17,
  MsgPleaseReboot = 18,
  MsgBurnDone = 19,
  MsgBurnError = 20,
  MsgUsbTimeout = 21,
  MsgUsbOverlappedError = 22,
  MsgUsbWriteError = 23,
  MsgUsbReadError = 24,
  MsgUsbSizeMismatch = 25,
  MsgUpdateCancelled = 26,
  MsgCannotCancel = 27,
  MsgPressAnyKey = 28,
  // The scanner already runs this release, or a newer one: no update.
  MsgFirmwareNewer = 29,
  MsgFirmwareCurrent = 30,
};

const int kMessageCount = 31;
const int kMessageSlotsPerLanguage = 40;
const int kCatalogueLanguages = 10;
const int kFormatBufferSize = 200;

// The text of a message, or nullptr where the catalogue holds none.
const char *MessageText(int id, int language);

// Calls `visit` with every text the program prints in `language` (the
// catalogue's, the usage and the version texts) while it returns true; true
// when it did for all of them.
bool EveryText(LanguageIndex language, bool (*visit)(const char *text));

// Decides, once for the run, whether standard output is a console. On a
// console every text is written as characters (UTF-16, decoded from its
// code page), so that it reads right whatever the console's code page; to a
// file or a pipe, and where the console refuses it, its bytes go out.
void BeginConsoleOutput();

// Writes the message's text and one more line feed. Ids outside 0..30 and
// languages other than 0 and 1 have no text and print nothing.
void PrintMessage(int id, LanguageIndex language);

// Formatted text to standard output; the count of characters produced, or a
// negative value when the stream fails.
int PrintConsole(const char *format, ...) SCANFW_PRINTF(1, 2);

// --all side by side: while a thread has a block bound, what it prints is
// kept there instead, for WriteBlock to write whole, line by line, as
// PrintConsole would have (the run's record included, each line naming
// `subject`, the scanner). Null unbinds.
void BindOutputBlock(std::string *block);
void WriteBlock(const std::string &block, const char *subject);

// Whether standard output is a console, and one status line shown there
// alone, never in a file, a pipe or the run's record: rewritten in place
// after a carriage return, without moving the cursor up; "" clears it, as
// each block written does first.
bool OutputIsConsole();
void ShowStatusLine(const char *text);

// Formatted text to standard error, shown the way standard output's is (as
// characters on a console, code page 950 bytes elsewhere); for the few
// messages that must not go to standard output.
int PrintError(const char *format, ...) SCANFW_PRINTF(1, 2);

// Formats into a caller's buffer of kFormatBufferSize characters. A result
// that does not fit is not truncated: the buffer is left empty and -1
// returned.
int FormatToBuffer(char *buffer, const char *format, ...) SCANFW_PRINTF(2, 3);

// The language rule: exactly 0x0404, Chinese (Taiwan), selects Traditional
// Chinese; every other language identifier gives English.
inline LanguageIndex LanguageFromLangId(uint16_t langId) {
  return langId == 0x0404 ? kLanguageTraditionalChinese : kLanguageEnglish;
}
