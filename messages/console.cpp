#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "messages/messages.h"
#include "messages/output_lock.h"
#include "messages/run_log.h"
#include "platform/win32.h"

namespace {

// Guarded, with what goes to standard output and error, by output::g_lock.
// Standard output when it is a console, decided once per run; null while
// output is a file or a pipe, which take the bytes as they are.
HANDLE g_console = nullptr;
// The same for standard error, decided the first time a text goes there.
HANDLE g_errorConsole = nullptr;
bool g_errorDecided = false;

// The block of --all's scanner whose thread this is, if any.
thread_local std::string *t_block = nullptr;
// The status line on the console, main thread only: its length, so that a
// shorter one, or the clearing, covers it.
size_t g_statusLength = 0;
// Whether the console takes a carriage return as one (a terminal on Linux,
// where texts go out as characters to files and pipes too).
bool g_returns = false;

// The Chinese texts are code page 950 (Big5); the English ones are ASCII,
// which decodes the same under it.
const UINT kTextCodePage = 950;

// Longer than the longest text the program prints (the Chinese usage). A
// text decodes to at most one UTF-16 unit per byte, so one conversion
// always holds it.
const int kConsoleTextSize = 2048;

void WriteBytes(const char *text, int bytes) {
  std::fwrite(text, 1, static_cast<size_t>(bytes), stdout);
  std::fflush(stdout);
}

// Writes the text as characters; false when nothing of it reached the
// console, so that the bytes can go instead.
bool WriteCharacters(HANDLE console, const char *text, int bytes) {
  if (bytes == 0) return true;
  WCHAR wide[kConsoleTextSize];
  // Bytes that are no text of the code page fail rather than turn into
  // replacement characters: they go out as they are.
  const int chars = MultiByteToWideChar(kTextCodePage, MB_ERR_INVALID_CHARS,
                                        text, bytes, wide, kConsoleTextSize);
  if (chars <= 0) return false;
  DWORD done = 0;
  while (done < static_cast<DWORD>(chars)) {
    DWORD written = 0;
    if (!WriteConsoleW(console, wide + done, chars - done, &written, nullptr) ||
        written == 0)
      // A console that took part of the text and then failed keeps it:
      // writing the bytes after it would show the start twice.
      return done > 0;
    done += written;
  }
  return true;
}

}  // namespace

void BeginConsoleOutput() {
  output::Guard guard(output::g_lock);
  g_console = nullptr;
  g_errorDecided = false;
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  g_returns = false;
  if (out != nullptr && out != INVALID_HANDLE_VALUE &&
      GetConsoleMode(out, &mode)) {
    g_console = out;
    g_returns = (mode & ENABLE_PROCESSED_OUTPUT) != 0;
  }
}

void PrintMessage(int id, LanguageIndex language) {
  const char *text = MessageText(id, language);
  if (text == nullptr) return;
  // The text is an argument, never a format: a '%' in it prints as it is.
  PrintConsole("%s\n", text);
}

int PrintConsole(const char *format, ...) {
  output::Guard guard(output::g_lock);
  va_list args;
  va_start(args, format);
  if (t_block != nullptr) {
    char text[kConsoleTextSize];
    const int n = vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (n > 0)
      t_block->append(text, n < static_cast<int>(sizeof text)
                                ? static_cast<size_t>(n)
                                : sizeof text - 1);
    return n;
  }
  if (runlog::On()) {
    char text[kConsoleTextSize];
    va_list copy;
    va_copy(copy, args);
    const int n = vsnprintf(text, sizeof text, format, copy);
    va_end(copy);
    if (n > 0)
      runlog::Output(text, n < static_cast<int>(sizeof text)
                               ? static_cast<size_t>(n)
                               : sizeof text - 1);
  }
  int written;
  if (g_console == nullptr) {
    written = vprintf(format, args);
  } else {
    char text[kConsoleTextSize];
    va_list again;
    va_copy(again, args);
    written = vsnprintf(text, sizeof text, format, args);
    if (written >= static_cast<int>(sizeof text)) {
      written = vprintf(format, again);
      std::fflush(stdout);
    } else if (written > 0 && !WriteCharacters(g_console, text, written)) {
      WriteBytes(text, written);
    }
    va_end(again);
  }
  va_end(args);
  return written;
}

void BindOutputBlock(std::string *block) { t_block = block; }

void WriteBlock(const std::string &block, const char *subject) {
  ShowStatusLine("");
  {
    output::Guard guard(output::g_lock);
    runlog::SetOutputSubject(subject);
  }
  size_t at = 0;
  while (at < block.size()) {
    size_t end = block.find('\n', at);
    end = end == std::string::npos ? block.size() : end + 1;
    PrintConsole("%.*s", static_cast<int>(end - at), block.data() + at);
    at = end;
  }
  output::Guard guard(output::g_lock);
  runlog::SetOutputSubject(nullptr);
}

bool OutputIsConsole() { return g_console != nullptr && g_returns; }

void ShowStatusLine(const char *text) {
  output::Guard guard(output::g_lock);
  if (g_console == nullptr || !g_returns) return;
  const size_t length = std::strlen(text);
  if (length == 0 && g_statusLength == 0) return;
  // "\r", the text, blanks over what is left of the last one, and the
  // cursor back after the text: a block written next starts at column 0
  // only after a clearing, which leaves it there.
  char line[kConsoleTextSize];
  size_t used = 0;
  line[used++] = '\r';
  for (size_t i = 0; i < length && used < sizeof line - 2; ++i)
    line[used++] = text[i];
  const size_t end = used;
  for (size_t i = length; i < g_statusLength && used < sizeof line - 2; ++i)
    line[used++] = ' ';
  if (used > end) {
    line[used++] = '\r';
    for (size_t i = 1; i < end && used < sizeof line - 1; ++i)
      line[used++] = line[i];
  }
  if (!WriteCharacters(g_console, line, static_cast<int>(used)))
    WriteBytes(line, static_cast<int>(used));
  g_statusLength = length;
}

int PrintError(const char *format, ...) {
  char text[kConsoleTextSize];
  va_list args;
  va_start(args, format);
  int written = vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (written <= 0) return written;
  if (written >= static_cast<int>(sizeof text)) written = sizeof text - 1;
  output::Guard guard(output::g_lock);
  // Asked only here: a run without an error never looks at standard error.
  if (!g_errorDecided) {
    g_errorDecided = true;
    g_errorConsole = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (g_errorConsole == nullptr || g_errorConsole == INVALID_HANDLE_VALUE ||
        !GetConsoleMode(g_errorConsole, &mode))
      g_errorConsole = nullptr;
  }
  if (g_errorConsole == nullptr ||
      !WriteCharacters(g_errorConsole, text, written)) {
    std::fwrite(text, 1, static_cast<size_t>(written), stderr);
    std::fflush(stderr);
  }
  return written;
}

int FormatToBuffer(char *buffer, const char *format, ...) {
  if (buffer == nullptr) return -1;
  buffer[0] = '\0';
  if (format == nullptr) return -1;
  va_list args;
  va_start(args, format);
  int stored = vsnprintf(buffer, kFormatBufferSize, format, args);
  va_end(args);
  // Both C99 (result >= size) and the older Windows convention (-1) mean
  // the result did not fit.
  if (stored < 0 || stored >= kFormatBufferSize) {
    buffer[0] = '\0';
    return -1;
  }
  return stored;
}
