// The few operating-system calls of the run's record (--log): a regular file
// opened for appending, the thread that writes it, the time of day, the
// computer's name and the process id. Each write goes to the file's end in
// one call, so that lines from several writers never mix.
#pragma once

#include <cstddef>
#include <cstdint>

struct AppendFile {
  intptr_t handle = -1;  // -1: not open
};

// Opens `path` for appending, creating it when missing; never truncates.
// Only a regular file is taken: a directory, a FIFO, a socket, a device (on
// Windows a device name, checked before anything is opened) is refused, and
// the open never waits for a reader. On failure `reason` holds why (one
// line).
bool OpenAppendFile(const char *path, AppendFile *file, char *reason,
                    size_t reasonSize);
// Writes all of `bytes` at the file's end in one call; false when the system
// took less or refused it. May block for as long as the file's system does.
bool AppendToFile(const AppendFile &file, const char *bytes, size_t count);
void CloseAppendFile(AppendFile *file);

// Whether the last component of `path` is one of the names Windows keeps for
// its devices (CON, NUL, COM1, ... in any case, with or without an
// extension), or the path is in the device namespace (\\.\, \\?\ but for
// drive, UNC and volume paths).
bool IsWindowsDevicePath(const char *path);

// A thread of its own for `run`, started with the console's stop signals
// blocked so that they reach the main thread. False when none could be made.
struct WriterThread {
  intptr_t handle = 0;
};
bool StartWriterThread(void (*run)(), WriterThread *thread);
void JoinWriterThread(WriterThread *thread);
// Left to run on (its file stalls); the process may end under it.
void AbandonWriterThread(WriterThread *thread);

// The current UTC date and time, ISO 8601 with milliseconds:
// "2026-12-10T01:02:03.512Z".
void UtcNowIso8601(char *text, size_t size);
// The computer's name, or "unknown".
void ComputerName(char *text, size_t size);
unsigned long ProcessId();

// Tests only: called on the writing thread before each write, so that a
// test can hold the writes back; a write whose hook answers false fails as
// on a full disk.
void SetAppendFileWriteHook(bool (*hook)());
