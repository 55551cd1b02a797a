#include "messages/run_log.h"

#include <cstdio>
#include <cstring>

#include "platform/append_file.h"
#include "platform/win32.h"
#include "scanfw_version.h"

namespace {

AppendFile g_file;
bool g_on = false;
DWORD g_start = 0;
// The standard output line being gathered.
char g_pending[1024];
size_t g_pendingLength = 0;

const size_t kLineSize = 4096;

// A failed write (a full disk, a share gone) is given up quietly: the
// record must never stop an update.
void Write(const char *bytes, size_t count) {
  if (g_on) AppendToFile(g_file, bytes, count);
}

// UTF-16 units to UTF-8; a lone surrogate becomes U+FFFD.
size_t Utf8(const WCHAR *wide, int units, char *out, size_t room) {
  size_t used = 0;
  for (int i = 0; i < units; ++i) {
    unsigned c = wide[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < units && wide[i + 1] >= 0xDC00 &&
        wide[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (wide[i + 1] - 0xDC00u);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    char bytes[4];
    size_t n;
    if (c < 0x80) {
      bytes[0] = static_cast<char>(c);
      n = 1;
    } else if (c < 0x800) {
      bytes[0] = static_cast<char>(0xC0 | (c >> 6));
      bytes[1] = static_cast<char>(0x80 | (c & 0x3F));
      n = 2;
    } else if (c < 0x10000) {
      bytes[0] = static_cast<char>(0xE0 | (c >> 12));
      bytes[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      bytes[2] = static_cast<char>(0x80 | (c & 0x3F));
      n = 3;
    } else {
      bytes[0] = static_cast<char>(0xF0 | (c >> 18));
      bytes[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      bytes[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      bytes[3] = static_cast<char>(0x80 | (c & 0x3F));
      n = 4;
    }
    if (used + n > room) break;
    std::memcpy(out + used, bytes, n);
    used += n;
  }
  return used;
}

// "<ms> ms  stdout: <text>\n", the text decoded from code page 950; bytes
// that are no text of it are kept as they are.
void FlushOutputLine() {
  char line[kLineSize];
  int used = std::snprintf(
      line, sizeof line,
      "%lu ms  stdout: ", static_cast<unsigned long>(GetTickCount() - g_start));
  if (used < 0) used = 0;
  WCHAR wide[sizeof g_pending];
  const int units =
      g_pendingLength == 0
          ? 0
          : MultiByteToWideChar(950, MB_ERR_INVALID_CHARS, g_pending,
                                static_cast<int>(g_pendingLength), wide,
                                static_cast<int>(sizeof g_pending));
  const size_t room = sizeof line - 1 - static_cast<size_t>(used);
  if (units > 0) {
    used += static_cast<int>(Utf8(wide, units, line + used, room));
  } else {
    const size_t n = g_pendingLength < room ? g_pendingLength : room;
    std::memcpy(line + used, g_pending, n);
    used += static_cast<int>(n);
  }
  line[used++] = '\n';
  Write(line, static_cast<size_t>(used));
  g_pendingLength = 0;
}

}  // namespace

namespace runlog {

const char *Architecture() {
#if defined(_WIN64)
  return "Windows x86-64";
#elif defined(_WIN32)
  return "Windows x86 (32-bit)";
#elif defined(__x86_64__)
  return "Linux x86-64";
#elif defined(__aarch64__)
  return "Linux arm64";
#elif defined(__i386__)
  return "Linux x86 (32-bit)";
#else
  return "Linux";
#endif
}

bool Open(const char *path, char *reason, size_t reasonSize) {
  g_on = false;
  g_pendingLength = 0;
  if (!OpenAppendFile(path, &g_file, reason, reasonSize)) return false;
  g_on = true;
  g_start = GetTickCount();
  return true;
}

bool On() { return g_on; }

void Begin(int argc, char **argv) {
  if (!g_on) return;
  char line[kLineSize];
  char when[32];
  char computer[256];
  UtcNowIso8601(when, sizeof when);
  ComputerName(computer, sizeof computer);
  int used = std::snprintf(line, sizeof line, "%s  scanfw %s, %s, computer %s,",
                           when, SCANFW_VERSION, Architecture(), computer);
  for (int i = 0;
       i < argc && used >= 0 && used < static_cast<int>(sizeof line) - 2; ++i)
    used += std::snprintf(line + used, sizeof line - 1 - used, " \"%s\"",
                          argv[i] != nullptr ? argv[i] : "(null)");
  if (used < 0) return;
  if (used > static_cast<int>(sizeof line) - 2) used = sizeof line - 2;
  line[used++] = '\n';
  Write(line, static_cast<size_t>(used));
}

void Line(const char *text, size_t length) {
  if (!g_on) return;
  // Standard output's unfinished line keeps its place before this one.
  if (g_pendingLength > 0) FlushOutputLine();
  Write(text, length);
}

void Output(const char *text, size_t length) {
  if (!g_on) return;
  for (size_t i = 0; i < length; ++i) {
    if (text[i] == '\n') {
      FlushOutputLine();
      continue;
    }
    if (g_pendingLength == sizeof g_pending) FlushOutputLine();
    g_pending[g_pendingLength++] = text[i];
  }
}

void End(const char *outcome, int status) {
  if (!g_on) return;
  if (g_pendingLength > 0) FlushOutputLine();
  char line[256];
  const int used = std::snprintf(
      line, sizeof line, "%lu ms  end of run: %s; exit status %d\n",
      static_cast<unsigned long>(GetTickCount() - g_start), outcome, status);
  if (used > 0)
    Write(line,
          static_cast<size_t>(used) < sizeof line ? used : sizeof line - 1);
  CloseAppendFile(&g_file);
  g_on = false;
}

}  // namespace runlog
