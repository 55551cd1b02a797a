#include <cstdarg>
#include <cstdio>

#include "messages/messages.h"

void PrintMessage(int id, LanguageIndex language) {
  const char *text = MessageText(id, language);
  if (text == nullptr) return;
  // The text is an argument, never a format: a '%' in it prints as it is.
  PrintConsole("%s\n", text);
}

int PrintConsole(const char *format, ...) {
  va_list args;
  va_start(args, format);
  int written = vprintf(format, args);
  va_end(args);
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
