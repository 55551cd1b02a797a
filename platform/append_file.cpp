#include "platform/append_file.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#ifdef _WIN32
#include "platform/win32.h"
#else
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "platform/signals_blocked.h"
#endif

namespace {

std::atomic<bool (*)()> g_writeHook{nullptr};

bool Separator(char c) { return c == '\\' || c == '/'; }

char Upper(char c) { return c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c; }

// Whether text[0, length) is `name`, letters in any case.
bool SameName(const char *text, size_t length, const char *name) {
  if (std::strlen(name) != length) return false;
  for (size_t i = 0; i < length; ++i)
    if (Upper(text[i]) != name[i]) return false;
  return true;
}

bool StartsWithName(const char *text, const char *name) {
  return SameName(text, std::strlen(name), name);
}

// CON, PRN, AUX, NUL, COM1-9, LPT1-9 (the superscript digits too), CONIN$,
// CONOUT$.
bool ReservedName(const char *name, size_t length) {
  static const char *const kWhole[] = {"CON", "PRN",    "AUX",
                                       "NUL", "CONIN$", "CONOUT$"};
  for (const char *reserved : kWhole)
    if (SameName(name, length, reserved)) return true;
  if (length != 4) return false;
  const bool port = SameName(name, 3, "COM") || SameName(name, 3, "LPT");
  return port && name[3] != '\0' &&
         std::strchr("123456789\xB9\xB2\xB3", name[3]) != nullptr;
}

}  // namespace

bool IsWindowsDevicePath(const char *path) {
  const char *p = path;
  if (Separator(p[0]) && Separator(p[1]) && (p[2] == '.' || p[2] == '?') &&
      Separator(p[3])) {
    if (p[2] == '.') return true;
    const char *rest = p + 4;
    const bool drive =
        Upper(rest[0]) >= 'A' && Upper(rest[0]) <= 'Z' && rest[1] == ':';
    if (!drive && !(StartsWithName(rest, "UNC") && Separator(rest[3])) &&
        !StartsWithName(rest, "VOLUME{"))
      return true;
  }
  if (Separator(p[0]) && p[1] == '?' && p[2] == '?' && Separator(p[3]))
    return true;
  // The last component, without a drive ("C:CON"); then the name before an
  // extension or a stream, trailing spaces dropped ("nul .txt", "CON:").
  const char *name = path;
  for (const char *c = path; *c != '\0'; ++c)
    if (Separator(*c)) name = c + 1;
  if (name == path && Upper(name[0]) >= 'A' && Upper(name[0]) <= 'Z' &&
      name[1] == ':')
    name += 2;
  size_t length = std::strcspn(name, ".:");
  while (length > 0 && name[length - 1] == ' ') --length;
  return ReservedName(name, length);
}

void SetAppendFileWriteHook(bool (*hook)()) { g_writeHook.store(hook); }

#ifdef _WIN32

namespace {

void SystemReason(DWORD error, char *reason, size_t reasonSize) {
  const DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM |
                      FORMAT_MESSAGE_IGNORE_INSERTS |
                      FORMAT_MESSAGE_MAX_WIDTH_MASK;
  DWORD length = FormatMessageA(
      flags, nullptr, error, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
      reason, static_cast<DWORD>(reasonSize), nullptr);
  if (length == 0)
    length = FormatMessageA(flags, nullptr, error, 0, reason,
                            static_cast<DWORD>(reasonSize), nullptr);
  if (length >= reasonSize) length = 0;
  while (length > 0 &&
         (reason[length - 1] == ' ' || reason[length - 1] == '\r' ||
          reason[length - 1] == '\n'))
    --length;
  reason[length] = '\0';
  if (length == 0)
    std::snprintf(reason, reasonSize, "error %lu",
                  static_cast<unsigned long>(error));
}

DWORD WINAPI RunWriter(LPVOID run) {
  (*static_cast<void (**)()>(run))();
  return 0;
}

}  // namespace

bool OpenAppendFile(const char *path, AppendFile *file, char *reason,
                    size_t reasonSize) {
  // Refused by name before anything is opened: opening a port or the
  // scanner's device can already change something.
  if (IsWindowsDevicePath(path)) {
    std::snprintf(reason, reasonSize, "a device name, not a file");
    return false;
  }
  // Append-only access is what makes every write land at the end, also on a
  // share that several PCs append to.
  HANDLE h = CreateFileA(path, FILE_APPEND_DATA,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    SystemReason(GetLastError(), reason, reasonSize);
    return false;
  }
  const DWORD type = GetFileType(h);
  if (type != FILE_TYPE_DISK) {
    CloseHandle(h);
    std::snprintf(reason, reasonSize, "not a disk file (%s)",
                  type == FILE_TYPE_CHAR   ? "a character device"
                  : type == FILE_TYPE_PIPE ? "a pipe"
                                           : "of an unknown type");
    return false;
  }
  file->handle = reinterpret_cast<intptr_t>(h);
  return true;
}

bool AppendToFile(const AppendFile &file, const char *bytes, size_t count) {
  if (file.handle == -1) return false;
  bool (*hook)() = g_writeHook.load();
  if (hook != nullptr && !hook()) return false;
  DWORD written = 0;
  return WriteFile(reinterpret_cast<HANDLE>(file.handle), bytes,
                   static_cast<DWORD>(count), &written, nullptr) &&
         written == count;
}

void CloseAppendFile(AppendFile *file) {
  if (file->handle != -1) CloseHandle(reinterpret_cast<HANDLE>(file->handle));
  file->handle = -1;
}

// The console's control events reach a thread of the system's own, so the
// writer needs nothing blocked here.
bool StartWriterThread(void (*run)(), WriterThread *thread) {
  static void (*s_run)() = nullptr;
  s_run = run;
  HANDLE h = CreateThread(nullptr, 0, RunWriter, &s_run, 0, nullptr);
  if (h == nullptr) return false;
  thread->handle = reinterpret_cast<intptr_t>(h);
  return true;
}

void JoinWriterThread(WriterThread *thread) {
  HANDLE h = reinterpret_cast<HANDLE>(thread->handle);
  WaitForSingleObject(h, INFINITE);
  CloseHandle(h);
  thread->handle = 0;
}

void AbandonWriterThread(WriterThread *thread) {
  CloseHandle(reinterpret_cast<HANDLE>(thread->handle));
  thread->handle = 0;
}

void UtcNowIso8601(char *text, size_t size) {
  SYSTEMTIME t;
  GetSystemTime(&t);
  std::snprintf(text, size, "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ", t.wYear,
                t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond,
                t.wMilliseconds);
}

void ComputerName(char *text, size_t size) {
  char name[MAX_COMPUTERNAME_LENGTH + 1];
  DWORD length = sizeof name;
  std::snprintf(text, size, "%s",
                GetComputerNameA(name, &length) ? name : "unknown");
}

unsigned long ProcessId() { return GetCurrentProcessId(); }

#else

namespace {

// What a file that is no regular file is, for the refusal.
const char *KindOf(mode_t mode) {
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  return "of an unknown type";
}

bool Refuse(mode_t mode, char *reason, size_t reasonSize) {
  std::snprintf(reason, reasonSize, "not a regular file (%s)", KindOf(mode));
  return false;
}

void *RunWriter(void *run) {
  (*static_cast<void (**)()>(run))();
  return nullptr;
}

}  // namespace

bool OpenAppendFile(const char *path, AppendFile *file, char *reason,
                    size_t reasonSize) {
  // Asked first, so that a device is not even opened; the check on the open
  // file below is the one that holds if the name changes in between.
  struct stat before;
  if (stat(path, &before) == 0 && !S_ISREG(before.st_mode))
    return Refuse(before.st_mode, reason, reasonSize);
  // O_NONBLOCK: a FIFO that slipped in is refused at once instead of
  // waiting for a reader without bound.
  const int fd = open(
      path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK,
      0666);
  if (fd < 0) {
    std::snprintf(reason, reasonSize, "%s", std::strerror(errno));
    return false;
  }
  struct stat opened;
  if (fstat(fd, &opened) != 0) {
    const int error = errno;
    close(fd);
    std::snprintf(reason, reasonSize, "%s", std::strerror(error));
    return false;
  }
  if (!S_ISREG(opened.st_mode)) {
    close(fd);
    return Refuse(opened.st_mode, reason, reasonSize);
  }
  const int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  file->handle = fd;
  return true;
}

bool AppendToFile(const AppendFile &file, const char *bytes, size_t count) {
  if (file.handle == -1) return false;
  bool (*hook)() = g_writeHook.load();
  if (hook != nullptr && !hook()) return false;
  const ssize_t written = write(static_cast<int>(file.handle), bytes, count);
  return written >= 0 && static_cast<size_t>(written) == count;
}

void CloseAppendFile(AppendFile *file) {
  if (file->handle != -1) close(static_cast<int>(file->handle));
  file->handle = -1;
}

static_assert(sizeof(pthread_t) <= sizeof(intptr_t), "a thread fits a word");

bool StartWriterThread(void (*run)(), WriterThread *thread) {
  static void (*s_run)() = nullptr;
  s_run = run;
  // The console's signals stay with the main thread.
  pthread_t id;
  const int error = WithConsoleSignalsBlocked(
      [&id] { return pthread_create(&id, nullptr, RunWriter, &s_run); });
  if (error != 0) return false;
  thread->handle = 0;
  std::memcpy(&thread->handle, &id, sizeof id);
  return true;
}

void JoinWriterThread(WriterThread *thread) {
  pthread_t id;
  std::memcpy(&id, &thread->handle, sizeof id);
  pthread_join(id, nullptr);
  thread->handle = 0;
}

void AbandonWriterThread(WriterThread *thread) {
  pthread_t id;
  std::memcpy(&id, &thread->handle, sizeof id);
  pthread_detach(id);
  thread->handle = 0;
}

void UtcNowIso8601(char *text, size_t size) {
  struct timespec now;
  struct tm t;
  char seconds[32];
  if (clock_gettime(CLOCK_REALTIME, &now) != 0 ||
      gmtime_r(&now.tv_sec, &t) == nullptr ||
      strftime(seconds, sizeof seconds, "%Y-%m-%dT%H:%M:%S", &t) == 0) {
    std::snprintf(text, size, "unknown-time");
    return;
  }
  std::snprintf(text, size, "%s.%03dZ", seconds,
                static_cast<int>(now.tv_nsec / 1000000));
}

void ComputerName(char *text, size_t size) {
  char name[256] = "";
  if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0')
    std::snprintf(name, sizeof name, "unknown");
  std::snprintf(text, size, "%s", name);
}

unsigned long ProcessId() { return static_cast<unsigned long>(getpid()); }

#endif
