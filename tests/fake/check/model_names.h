// The model's names for the Windows calls. Every source of the fake but
// tests/fake/check/platform_entry.cpp is built with each call in this list
// renamed to Model_<call> (tests/CMakeLists.txt reads the list from here),
// so that the entry points can stand in front of the model.
#pragma once

// Grouped by what they reach; clang-format cannot lay out this list stably.
// clang-format off
#define SCANFW_MODEL_CALLS(X)                                              \
  X(GetUserDefaultLangID) X(GetLastError) X(SetLastError)                  \
  X(GetTickCount) X(Sleep) X(LocalAlloc) X(LocalFree) X(FormatMessageA)    \
  X(CreateFileA) X(DeviceIoControl) X(WriteFile) X(ReadFile)               \
  X(CreateEventA) X(WaitForSingleObject) X(GetOverlappedResult)            \
  X(CloseHandle)                                                           \
  X(FindResourceA) X(LoadResource) X(LockResource) X(SizeofResource)       \
  X(OpenSCManagerA) X(OpenServiceA) X(QueryServiceStatus)                  \
  X(QueryServiceConfigA) X(ChangeServiceConfigA) X(ControlService)         \
  X(StartServiceA) X(CloseServiceHandle)                                   \
  X(GetStdHandle) X(GetConsoleMode) X(MultiByteToWideChar)                 \
  X(WriteConsoleW) X(FlushConsoleInputBuffer) X(ReadConsoleInputA)         \
  X(GetCurrentProcessId) X(CreateToolhelp32Snapshot) X(Process32First)     \
  X(Process32Next)
// clang-format on

#include "platform/win32.h"

// Each model call is declared with the type of the call it stands behind.
#define SCANFW_DECLARE_MODEL(call) decltype(::call) Model_##call;
SCANFW_MODEL_CALLS(SCANFW_DECLARE_MODEL)
#undef SCANFW_DECLARE_MODEL
