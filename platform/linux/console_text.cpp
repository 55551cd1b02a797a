// The console calls of the Linux stand-in. Unix programs write the locale's
// character set to a terminal, a file and a pipe alike, so standard output
// counts as a console whenever that character set can be written: the
// program's code page 950 texts go out converted by iconv (Big5 to UTF-16 to
// the locale's set), through fixed buffers. No process here is started by
// Explorer: there is no process snapshot and no console input to wait on.
#include "platform/linux/console_text.h"

#include <iconv.h>
#include <langinfo.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstring>

#include "platform/win32.h"

namespace {

const iconv_t kNoConversion = reinterpret_cast<iconv_t>(-1);

char g_inputTag, g_outputTag, g_errorTag;
HANDLE const kInput = &g_inputTag;
HANDLE const kOutput = &g_outputTag;
HANDLE const kError = &g_errorTag;

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

// Converts all of `in`; the bytes produced go to `out` piece by piece.
bool Convert(iconv_t cd, const char *in, size_t inBytes,
             void (*out)(const char *bytes, size_t n, void *context),
             void *context) {
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  char *from = const_cast<char *>(in);
  for (;;) {
    char piece[1024];
    char *to = piece;
    size_t room = sizeof piece;
    const size_t r = iconv(cd, &from, &inBytes, &to, &room);
    const bool full = r == static_cast<size_t>(-1) && errno == E2BIG;
    if (r == static_cast<size_t>(-1) && !full) return false;
    if (to != piece) out(piece, static_cast<size_t>(to - piece), context);
    if (!full) return true;
  }
}

}  // namespace

bool LocaleShowsChinese() {
  if (!Ready()) return false;
  // One character of the texts through both conversions: a set without it
  // (ASCII, under a locale that is not installed) refuses it.
  WCHAR wide[1];
  if (MultiByteToWideChar(950, 0, "\xA4\xA4", 2, wide, 1) != 1) return false;
  return Convert(
      C().toLocale, reinterpret_cast<const char *>(wide), sizeof wide,
      [](const char *, size_t, void *) {}, nullptr);
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
  if (mode != nullptr) *mode = 0;
  return TRUE;
}

int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR text, int bytes,
                        LPWSTR wide, int wideChars) {
  (void)flags;
  if (codePage != 950 || text == nullptr || bytes < 0 || wide == nullptr ||
      !Ready()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  struct Room {
    char *to;
    size_t left;
    bool overflow;
  } room = {reinterpret_cast<char *>(wide),
            static_cast<size_t>(wideChars) * sizeof(WCHAR), false};
  const bool ok = Convert(
      C().fromBig5, text, static_cast<size_t>(bytes),
      [](const char *piece, size_t n, void *context) {
        Room *r = static_cast<Room *>(context);
        if (n > r->left) {
          r->overflow = true;
          return;
        }
        std::memcpy(r->to, piece, n);
        r->to += n;
        r->left -= n;
      },
      &room);
  if (room.overflow) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  if (!ok) {
    SetLastError(ERROR_NO_UNICODE_TRANSLATION);
    return 0;
  }
  return wideChars - static_cast<int>(room.left / sizeof(WCHAR));
}

BOOL WriteConsoleW(HANDLE console, const void *text, DWORD chars,
                   LPDWORD written, LPVOID reserved) {
  (void)reserved;
  if (written != nullptr) *written = 0;
  if ((console != kOutput && console != kError) || text == nullptr ||
      !Ready()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  struct Sink {
    FILE *stream;
    bool failed;
  } sink = {console == kError ? stderr : stdout, false};
  const bool ok = Convert(
      C().toLocale, static_cast<const char *>(text), chars * sizeof(WCHAR),
      [](const char *piece, size_t n, void *context) {
        Sink *s = static_cast<Sink *>(context);
        if (std::fwrite(piece, 1, n, s->stream) != n) s->failed = true;
      },
      &sink);
  if (!ok || sink.failed || std::fflush(sink.stream) != 0) {
    SetLastError(ok ? ERROR_GEN_FAILURE : ERROR_NO_UNICODE_TRANSLATION);
    return FALSE;
  }
  if (written != nullptr) *written = chars;
  return TRUE;
}

BOOL FlushConsoleInputBuffer(HANDLE) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return FALSE;
}

BOOL ReadConsoleInputA(HANDLE, PINPUT_RECORD, DWORD, LPDWORD read) {
  if (read != nullptr) *read = 0;
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return FALSE;
}

DWORD GetCurrentProcessId() { return static_cast<DWORD>(getpid()); }

HANDLE CreateToolhelp32Snapshot(DWORD, DWORD) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return INVALID_HANDLE_VALUE;
}

BOOL Process32First(HANDLE, LPPROCESSENTRY32) {
  SetLastError(ERROR_NO_MORE_FILES);
  return FALSE;
}

BOOL Process32Next(HANDLE, LPPROCESSENTRY32) {
  SetLastError(ERROR_NO_MORE_FILES);
  return FALSE;
}
