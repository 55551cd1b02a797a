// The few operating-system calls of the run's record (--log): a file opened
// for appending, the time of day and the computer's name. Each write goes to
// the file's end in one call, so that lines from several writers never mix.
#pragma once

#include <cstddef>
#include <cstdint>

struct AppendFile {
  intptr_t handle = -1;  // -1: not open
};

// Opens `path` for appending, creating it when missing; never truncates. On
// failure `reason` holds the system's text for why (one line).
bool OpenAppendFile(const char *path, AppendFile *file, char *reason,
                    size_t reasonSize);
// Writes all of `bytes` at the file's end in one call; false when the system
// took less or refused it.
bool AppendToFile(const AppendFile &file, const char *bytes, size_t count);
void CloseAppendFile(AppendFile *file);

// The current UTC date and time, ISO 8601: "2026-12-10T01:02:03Z".
void UtcNowIso8601(char *text, size_t size);
// The computer's name, or "unknown".
void ComputerName(char *text, size_t size);
