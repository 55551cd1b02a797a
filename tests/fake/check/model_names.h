// The platform calls the program makes, one row each; everything the fake
// keeps per call comes from here. Every source of the fake but
// tests/fake/check/platform_entry.cpp is built with each call renamed to
// Model_<call> (tests/CMakeLists.txt reads the names from here), so that the
// entry points can stand in front of the model. A row names the call, its
// count of parameters, the ways the sweep may fail it, and how it is
// counted, one of
//   PASS, (handle, bad, error, count)  the model answers with the caller's
//       arguments a0, a1, ...; `handle` is logged as the call's handle, a
//       `bad` answer is a failure, made with `error` by a fault (0: the
//       way's own), and a fault bends the byte count at `count`;
//   KEEP, (handle, bad, error, count, buffer, length)  the same, and the
//       log keeps a buffer and a length (or a number) the call was given;
//   OWN, ()  the entry point is written out in platform_entry.cpp.
#pragma once

// Grouped by what they reach; clang-format cannot lay out this list stably.
// clang-format off
#define SCANFW_MODEL_CALLS(X)                                                  \
  X(GetUserDefaultLangID, 0, (), OWN, ())                                      \
  X(GetLastError, 0, (), OWN, ())                                              \
  X(SetLastError, 1, (), OWN, ())                                              \
  X(GetTickCount, 0, (), OWN, ())                                              \
  X(Sleep, 1, (), OWN, ())                                                     \
  X(LocalAlloc, 2, (Fails),                                                    \
    KEEP, (nullptr, nullptr, ERROR_NOT_ENOUGH_MEMORY, nullptr, nullptr, a1))   \
  X(LocalFree, 1, (), OWN, ())                                                 \
  X(FormatMessageA, 7, (Fails), PASS, (nullptr, 0u, 0, nullptr))               \
  X(CreateFileA, 7, (Fails, Denied),                                           \
    PASS, (nullptr, INVALID_HANDLE_VALUE, 0, nullptr))                         \
  X(DeviceIoControl, 8, (Fails, Short, Long), PASS, (a0, FALSE, 0, a6))        \
  X(WriteFile, 5, (Fails, Short, Long), OWN, ())                               \
  X(ReadFile, 5, (Fails, Short, Long), OWN, ())                                \
  X(CreateEventA, 4, (NullHandle),                                             \
    PASS, (nullptr, nullptr, ERROR_NOT_ENOUGH_MEMORY, nullptr))                \
  X(WaitForSingleObject, 2, (Timeout, WaitFails), OWN, ())                     \
  X(CreateThread, 6, (NullHandle),                                             \
    PASS, (nullptr, nullptr, ERROR_NOT_ENOUGH_MEMORY, nullptr))                \
  X(GetOverlappedResult, 4, (Fails, Short, Long), OWN, ())                     \
  X(CloseHandle, 1, (Fails), OWN, ())                                          \
  X(FindResourceA, 3, (NullHandle),                                            \
    PASS, (nullptr, nullptr, ERROR_RESOURCE_TYPE_NOT_FOUND, nullptr))          \
  X(LoadResource, 2, (NullHandle), PASS, (nullptr, nullptr, 0, nullptr))       \
  X(LockResource, 1, (NullHandle), OWN, ())                                    \
  X(SizeofResource, 2, (Fails), PASS, (nullptr, 0, 0, nullptr))                \
  X(OpenSCManagerA, 3, (NullHandle, Denied),                                   \
    PASS, (nullptr, nullptr, 0, nullptr))                                      \
  X(OpenServiceA, 3, (NullHandle, Denied),                                     \
    PASS, (nullptr, nullptr, 0, nullptr))                                      \
  X(QueryServiceStatus, 2, (Fails, Denied), OWN, ())                           \
  X(QueryServiceConfigA, 4, (Fails, Insufficient), OWN, ())                    \
  X(ChangeServiceConfigA, 11, (Fails, Denied),                                 \
    KEEP, (a0, FALSE, 0, nullptr, nullptr, a2))                                \
  X(ControlService, 3, (Fails, Denied),                                        \
    KEEP, (a0, FALSE, 0, nullptr, nullptr, a1))                                \
  X(StartServiceA, 3, (Fails, Denied), OWN, ())                                \
  X(CloseServiceHandle, 1, (Fails), OWN, ())                                   \
  X(GetStdHandle, 1, (NullHandle),                                             \
    PASS, (nullptr, INVALID_HANDLE_VALUE, 0, nullptr))                         \
  X(GetConsoleMode, 2, (Fails), PASS, (a0, FALSE, 0, nullptr))                 \
  X(MultiByteToWideChar, 6, (Fails),                                           \
    KEEP, (nullptr, 0, ERROR_NO_UNICODE_TRANSLATION, nullptr, a2, a3))         \
  X(WriteConsoleW, 5, (Fails), KEEP, (a0, FALSE, 0, a3, a1, a2))               \
  X(FlushConsoleInputBuffer, 1, (Fails), PASS, (a0, FALSE, 0, nullptr))        \
  X(ReadConsoleInputA, 4, (Fails), PASS, (a0, FALSE, 0, a3))                   \
  X(GetCurrentProcessId, 0, (), OWN, ())                                       \
  X(CreateToolhelp32Snapshot, 2, (NullHandle),                                 \
    PASS, (nullptr, INVALID_HANDLE_VALUE, 0, nullptr))                         \
  X(Process32First, 2, (Fails), PASS, (a0, FALSE, 0, nullptr))                 \
  X(Process32Next, 2, (Fails), PASS, (a0, FALSE, 0, nullptr))
// clang-format on

#include "platform/win32.h"

// Each model call is declared with the type of the call it stands behind.
#define SCANFW_DECLARE_MODEL(call, ...) decltype(::call) Model_##call;
SCANFW_MODEL_CALLS(SCANFW_DECLARE_MODEL)
#undef SCANFW_DECLARE_MODEL
