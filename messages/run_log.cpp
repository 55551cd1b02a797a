#include "messages/run_log.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "messages/output_lock.h"
#include "platform/append_file.h"
#include "platform/win32.h"
#include "scanfw_version.h"

namespace {

// Everything here is guarded by output::g_lock, but g_on, which callers read
// to skip formatting.
AppendFile g_file;
std::atomic<bool> g_on{false};
DWORD g_start = 0;
// The standard output line being gathered.
char g_pending[1024];
size_t g_pendingLength = 0;
// The scanner whose block standard output is writing (--all side by side),
// named on each of its lines; null otherwise.
const char *g_outputSubject = nullptr;
// The syslog-style head of every line, but its time.
char g_computer[256];
unsigned long g_processId = 0;

const size_t kLineSize = 4096;
// A line with its head.
const size_t kRecordSize = kLineSize + 320;

// How long a caller waits for the file, before the download command and at
// the end.
const std::chrono::milliseconds kDrainBound(3000);

// The queue: a ring of whole lines, each after its length, allocated with
// the program so that queueing a line never allocates. A line that does not
// fit before the ring's end starts at its beginning; the bytes skipped are
// marked when a length fits there.
const size_t kRingSize = 256 * 1024;
const uint32_t kSkipToStart = 0xFFFFFFFFu;
char g_ring[kRingSize];
uint64_t g_in = 0;            // bytes ever put in
uint64_t g_out = 0;           // bytes ever taken out
unsigned long g_queued = 0;   // lines put in
unsigned long g_written = 0;  // lines the writer has finished with
unsigned long g_dropped = 0;  // lines left out since the last count written

bool g_threaded = false;  // a writer thread takes the lines
bool g_stop = false;      // the writer ends once the queue is empty
// A writer left behind belongs to an earlier generation and touches nothing
// of a later one.
unsigned g_generation = 0;
WriterThread g_writer;
std::condition_variable g_wake;     // a line is queued, or the stop
std::condition_variable g_drained;  // the writer finished with a line

bool Put(const char *bytes, size_t count) {
  const size_t header = sizeof(uint32_t);
  size_t at = static_cast<size_t>(g_in % kRingSize);
  const size_t tail = kRingSize - at;
  const size_t pad = header + count > tail ? tail : 0;
  if (pad + header + count > kRingSize - static_cast<size_t>(g_in - g_out))
    return false;
  if (pad > 0) {
    if (pad >= header) std::memcpy(g_ring + at, &kSkipToStart, header);
    g_in += pad;
    at = 0;
  }
  const uint32_t length = static_cast<uint32_t>(count);
  std::memcpy(g_ring + at, &length, header);
  std::memcpy(g_ring + at + header, bytes, count);
  g_in += header + count;
  ++g_queued;
  return true;
}

bool Take(char *bytes, size_t *count) {
  const size_t header = sizeof(uint32_t);
  while (g_out != g_in) {
    const size_t at = static_cast<size_t>(g_out % kRingSize);
    const size_t tail = kRingSize - at;
    uint32_t length = kSkipToStart;
    if (tail >= header) std::memcpy(&length, g_ring + at, header);
    if (length == kSkipToStart) {
      g_out += tail;
      continue;
    }
    std::memcpy(bytes, g_ring + at + header, length);
    *count = length;
    g_out += header + length;
    return true;
  }
  return false;
}

// The writer thread: lines off the queue, each written whole outside the
// lock, so that only this thread ever waits for the file.
void WriteQueuedLines() {
  char line[kRecordSize];
  std::unique_lock<std::mutex> lock(output::g_lock);
  const unsigned generation = g_generation;
  AppendFile file = g_file;
  for (;;) {
    g_wake.wait(lock, [&] {
      return g_stop || g_in != g_out || g_generation != generation;
    });
    if (g_generation != generation) break;
    size_t count = 0;
    if (!Take(line, &count)) {
      if (g_stop) return;
      continue;
    }
    lock.unlock();
    // A failed write (a full disk, a share gone) is given up quietly: the
    // record must never stop an update.
    AppendToFile(file, line, count);
    lock.lock();
    if (g_generation != generation) break;
    ++g_written;
    g_drained.notify_all();
  }
  // Left behind by its run: the file is this thread's to close.
  lock.unlock();
  CloseAppendFile(&file);
}

// A line with its head, to the queue or, without a writer thread, to the
// file.
void Emit(const char *text, size_t length) {
  char record[kRecordSize];
  char when[40];
  UtcNowIso8601(when, sizeof when);
  int used = std::snprintf(record, sizeof record, "%s %s scanfw[%lu]: ", when,
                           g_computer, g_processId);
  if (used < 0) return;
  if (length > sizeof record - static_cast<size_t>(used))
    length = sizeof record - static_cast<size_t>(used);
  std::memcpy(record + used, text, length);
  const size_t count = static_cast<size_t>(used) + length;
  if (!g_threaded) {
    AppendToFile(g_file, record, count);
    return;
  }
  if (g_dropped > 0) {
    char note[kRecordSize];
    const int n = std::snprintf(
        note, sizeof note,
        "%.*s%lu ms  the log file fell behind: %lu lines left out\n", used,
        record, static_cast<unsigned long>(GetTickCount() - g_start),
        g_dropped);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof note ||
        !Put(note, static_cast<size_t>(n))) {
      ++g_dropped;
      return;
    }
    g_dropped = 0;
  }
  if (!Put(record, count)) {
    ++g_dropped;
    return;
  }
  g_wake.notify_one();
}

// Waits, within the bound, until the writer has finished with every line
// queued so far; true when it has. The lock is held by `lock`.
bool Drain(std::unique_lock<std::mutex> &lock) {
  if (!g_threaded) return true;
  const unsigned long target = g_queued;
  return g_drained.wait_for(lock, kDrainBound,
                            [&] { return g_written >= target; });
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
  const unsigned long elapsed =
      static_cast<unsigned long>(GetTickCount() - g_start);
  int used =
      g_outputSubject == nullptr
          ? std::snprintf(line, sizeof line, "%lu ms  stdout: ", elapsed)
          : std::snprintf(line, sizeof line, "%lu ms  stdout (%s): ", elapsed,
                          g_outputSubject);
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
  Emit(line, static_cast<size_t>(used));
  g_pendingLength = 0;
}

// Ends the writer of the last run, if any, and closes its file: within the
// bound when the file takes its lines, else the writer is left behind with
// it. Once the lock is let go nothing else reaches the file.
void StopWriting(std::unique_lock<std::mutex> &lock) {
  const bool drained = Drain(lock);
  AppendFile file = g_file;
  g_file.handle = -1;
  if (!g_threaded) {
    CloseAppendFile(&file);
    return;
  }
  g_stop = true;
  g_threaded = false;
  if (!drained) ++g_generation;
  g_wake.notify_all();
  lock.unlock();
  if (drained) {
    JoinWriterThread(&g_writer);
    CloseAppendFile(&file);
  } else {
    // The writer closes the file when its write returns.
    AbandonWriterThread(&g_writer);
  }
  lock.lock();
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
  std::unique_lock<std::mutex> lock(output::g_lock);
  if (g_on) {
    g_on = false;
    StopWriting(lock);
  }
  g_pendingLength = 0;
  if (!OpenAppendFile(path, &g_file, reason, reasonSize)) return false;
  ComputerName(g_computer, sizeof g_computer);
  g_processId = ProcessId();
  g_start = GetTickCount();
  g_in = g_out = 0;
  g_queued = g_written = g_dropped = 0;
  g_stop = false;
  // Without a thread of its own the record is written as it comes.
  g_threaded = StartWriterThread(WriteQueuedLines, &g_writer);
  g_on = true;
  return true;
}

bool On() { return g_on; }

void Begin(int argc, char **argv) {
  if (!g_on) return;
  char line[kLineSize];
  char computer[256];
  ComputerName(computer, sizeof computer);
  int used = std::snprintf(line, sizeof line, "scanfw %s, %s, computer %s,",
                           SCANFW_VERSION, runlog::Architecture(), computer);
  for (int i = 0;
       i < argc && used >= 0 && used < static_cast<int>(sizeof line) - 2; ++i)
    used += std::snprintf(line + used, sizeof line - 1 - used, " \"%s\"",
                          argv[i] != nullptr ? argv[i] : "(null)");
  if (used < 0) return;
  if (used > static_cast<int>(sizeof line) - 2) used = sizeof line - 2;
  line[used++] = '\n';
  output::Guard guard(output::g_lock);
  Emit(line, static_cast<size_t>(used));
}

void Line(const char *text, size_t length) {
  if (!g_on) return;
  // Standard output's unfinished line keeps its place before this one.
  if (g_pendingLength > 0) FlushOutputLine();
  Emit(text, length);
}

void SetOutputSubject(const char *subject) {
  if (g_on && g_pendingLength > 0) FlushOutputLine();
  g_outputSubject = subject;
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

void Flush() {
  if (!g_on) return;
  std::unique_lock<std::mutex> lock(output::g_lock);
  Drain(lock);
}

void End(const char *outcome, int status) {
  if (!g_on) return;
  std::unique_lock<std::mutex> lock(output::g_lock);
  if (g_pendingLength > 0) FlushOutputLine();
  char line[256];
  const int used = std::snprintf(
      line, sizeof line, "%lu ms  end of run: %s; exit status %d\n",
      static_cast<unsigned long>(GetTickCount() - g_start), outcome, status);
  if (used > 0)
    Emit(line,
         static_cast<size_t>(used) < sizeof line ? used : sizeof line - 1);
  g_on = false;
  StopWriting(lock);
}

}  // namespace runlog
