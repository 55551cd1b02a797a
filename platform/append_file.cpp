#include "platform/append_file.h"

#include <cstdio>
#include <cstring>

#ifdef _WIN32
#include "platform/win32.h"
#else
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#endif

#ifdef _WIN32

bool OpenAppendFile(const char *path, AppendFile *file, char *reason,
                    size_t reasonSize) {
  // Append-only access is what makes every write land at the end, also on a
  // share that several PCs append to.
  HANDLE h = CreateFileA(path, FILE_APPEND_DATA,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
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
    return false;
  }
  file->handle = reinterpret_cast<intptr_t>(h);
  return true;
}

bool AppendToFile(const AppendFile &file, const char *bytes, size_t count) {
  if (file.handle == -1) return false;
  DWORD written = 0;
  return WriteFile(reinterpret_cast<HANDLE>(file.handle), bytes,
                   static_cast<DWORD>(count), &written, nullptr) &&
         written == count;
}

void CloseAppendFile(AppendFile *file) {
  if (file->handle != -1) CloseHandle(reinterpret_cast<HANDLE>(file->handle));
  file->handle = -1;
}

void UtcNowIso8601(char *text, size_t size) {
  SYSTEMTIME t;
  GetSystemTime(&t);
  std::snprintf(text, size, "%04u-%02u-%02uT%02u:%02u:%02uZ", t.wYear, t.wMonth,
                t.wDay, t.wHour, t.wMinute, t.wSecond);
}

void ComputerName(char *text, size_t size) {
  char name[MAX_COMPUTERNAME_LENGTH + 1];
  DWORD length = sizeof name;
  std::snprintf(text, size, "%s",
                GetComputerNameA(name, &length) ? name : "unknown");
}

#else

bool OpenAppendFile(const char *path, AppendFile *file, char *reason,
                    size_t reasonSize) {
  const int fd =
      open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0666);
  if (fd < 0) {
    std::snprintf(reason, reasonSize, "%s", std::strerror(errno));
    return false;
  }
  file->handle = fd;
  return true;
}

bool AppendToFile(const AppendFile &file, const char *bytes, size_t count) {
  if (file.handle == -1) return false;
  const ssize_t written = write(static_cast<int>(file.handle), bytes, count);
  return written >= 0 && static_cast<size_t>(written) == count;
}

void CloseAppendFile(AppendFile *file) {
  if (file->handle != -1) close(static_cast<int>(file->handle));
  file->handle = -1;
}

void UtcNowIso8601(char *text, size_t size) {
  const time_t now = time(nullptr);
  struct tm t;
  if (gmtime_r(&now, &t) == nullptr ||
      strftime(text, size, "%Y-%m-%dT%H:%M:%SZ", &t) == 0)
    std::snprintf(text, size, "unknown time");
}

void ComputerName(char *text, size_t size) {
  char name[256] = "";
  if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0')
    std::snprintf(name, sizeof name, "unknown");
  std::snprintf(text, size, "%s", name);
}

#endif
