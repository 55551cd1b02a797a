// The console calls of the Linux stand-in. Unix programs write the locale's
// character set to a terminal, a file and a pipe alike, so standard output
// counts as a console whenever that character set can be written: the
// program's code page 950 texts go out converted by iconv (Big5 to UTF-16 to
// the locale's set), through fixed buffers. Big5 is not converted straight
// to the locale's set: glibc then turns Traditional characters that GB2312
// lacks into Simplified ones, where through Unicode they fail as they should.
// A text is written only once all of it has converted. The user's language
// is answered here too: Chinese only where the locale shows it.
#include <iconv.h>
#include <langinfo.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstring>

#include "platform/linux/locale_langid.h"
#include "platform/win32.h"

namespace {

const iconv_t kNoConversion = reinterpret_cast<iconv_t>(-1);

PLATFORM_TEXTS_ROUTINE g_chineseTexts = nullptr;

char g_inputTag, g_outputTag, g_errorTag;
HANDLE const kInput = &g_inputTag;
HANDLE const kOutput = &g_outputTag;
HANDLE const kError = &g_errorTag;

// The most UTF-16 units a console write gets (messages/console.cpp), and
// room for them in any locale's set: at most 4 bytes a unit.
const size_t kMostUnits = 2048;
const size_t kMostLocaleBytes = 4 * kMostUnits;

struct Conversions {
  iconv_t fromBig5 = kNoConversion;  // code page 950 to UTF-16
  iconv_t toLocale = kNoConversion;  // UTF-16 to the locale's set
};

// Opened once, at the run's start: opening allocates, converting does not.
const Conversions &C() {
  static const Conversions conversions = [] {
    Conversions c;
    std::setlocale(LC_ALL, "");
    c.fromBig5 = iconv_open("UTF-16LE", "BIG5");
    c.toLocale = iconv_open(nl_langinfo(CODESET), "UTF-16LE");
    return c;
  }();
  return conversions;
}

bool Ready() {
  return C().fromBig5 != kNoConversion && C().toLocale != kNoConversion;
}

// All of `in` into `out`, or nothing: the bytes produced, or -1 with the
// reason in errno (E2BIG: no room; EILSEQ, EINVAL: not convertible).
long Convert(iconv_t cd, const void *in, size_t inBytes, void *out,
             size_t room) {
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  char *from = static_cast<char *>(const_cast<void *>(in));
  char *to = static_cast<char *>(out);
  const size_t size = room;
  if (iconv(cd, &from, &inBytes, &to, &room) == static_cast<size_t>(-1) ||
      iconv(cd, nullptr, nullptr, &to, &room) == static_cast<size_t>(-1))
    return -1;
  return static_cast<long>(size - room);
}

bool Shows(const char *text) {
  WCHAR wide[kMostUnits];
  char bytes[kMostLocaleBytes];
  const long units =
      Convert(C().fromBig5, text, std::strlen(text), wide, sizeof wide);
  return units >= 0 && Convert(C().toLocale, wide, static_cast<size_t>(units),
                               bytes, sizeof bytes) >= 0;
}

// True when the locale's character set can show every Chinese text.
bool LocaleShowsChinese() {
  // The locale does not change during a run.
  static const bool shows =
      Ready() && (g_chineseTexts == nullptr || g_chineseTexts(Shows));
  return shows;
}

}  // namespace

void SetPlatformTextsRoutine(PLATFORM_TEXTS_ROUTINE routine) {
  g_chineseTexts = routine;
}

LANGID GetUserDefaultLangID() {
  const LANGID id = LangIdFromEnvironment();
  // English that reads beats Chinese that does not.
  return id == 0x0404 && !LocaleShowsChinese() ? 0x0409 : id;
}

HANDLE GetStdHandle(DWORD which) {
  if (which == STD_INPUT_HANDLE) return kInput;
  if (which == STD_OUTPUT_HANDLE) return kOutput;
  if (which == STD_ERROR_HANDLE) return kError;
  SetLastError(ERROR_INVALID_PARAMETER);
  return INVALID_HANDLE_VALUE;
}

BOOL GetConsoleMode(HANDLE console, LPDWORD mode) {
  const bool ok = ((console == kOutput || console == kError) && Ready()) ||
                  (console == kInput && isatty(STDIN_FILENO));
  if (!ok) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  // Texts go out in the locale's characters to a terminal, a file and a
  // pipe alike; only a terminal also takes a carriage return as one, as a
  // Windows console in its default mode does.
  const int fd = console == kOutput   ? STDOUT_FILENO
                 : console == kError ? STDERR_FILENO
                                     : STDIN_FILENO;
  if (mode != nullptr) *mode = isatty(fd) ? ENABLE_PROCESSED_OUTPUT : 0;
  return TRUE;
}

int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR text, int bytes,
                        LPWSTR wide, int wideChars) {
  (void)flags;
  if (codePage != 950 || text == nullptr || bytes < 0 || wide == nullptr ||
      wideChars < 0 || !Ready()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const long n = Convert(C().fromBig5, text, static_cast<size_t>(bytes), wide,
                         static_cast<size_t>(wideChars) * sizeof(WCHAR));
  if (n < 0) {
    SetLastError(errno == E2BIG ? ERROR_INSUFFICIENT_BUFFER
                                : ERROR_NO_UNICODE_TRANSLATION);
    return 0;
  }
  return static_cast<int>(n / static_cast<long>(sizeof(WCHAR)));
}

// A text that does not convert writes nothing, so that the caller can send
// its bytes instead. What the stream refuses once it has converted (a reader
// gone, a full disk) is dropped, as a closed console drops it: it counts as
// written, and is not sent again.
BOOL WriteConsoleW(HANDLE console, const void *text, DWORD chars,
                   LPDWORD written, LPVOID reserved) {
  (void)reserved;
  if (written != nullptr) *written = 0;
  if ((console != kOutput && console != kError) || text == nullptr ||
      !Ready()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  char bytes[kMostLocaleBytes];
  const long n =
      Convert(C().toLocale, text, chars * sizeof(WCHAR), bytes, sizeof bytes);
  if (n < 0) {
    SetLastError(errno == E2BIG ? ERROR_NOT_ENOUGH_MEMORY
                                : ERROR_NO_UNICODE_TRANSLATION);
    return FALSE;
  }
  // A stream nobody reads any more loses the text, never the run.
  FILE *stream = console == kError ? stderr : stdout;
  std::fwrite(bytes, 1, static_cast<size_t>(n), stream);
  std::fflush(stream);
  if (written != nullptr) *written = chars;
  return TRUE;
}
