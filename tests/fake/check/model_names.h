// The model's names for the Windows calls. Every source of the fake but
// tests/fake/check/platform_entry.cpp is built with each call in this list
// renamed to Model_<call> (tests/CMakeLists.txt reads the list from here),
// so that the entry points can stand in front of the model.
#pragma once

#define SCANFW_MODEL_CALLS(X)                                                 \
  X(GetUserDefaultLangID)                                                     \
  X(GetLastError)                                                             \
  X(SetLastError) X(GetTickCount) X(Sleep) X(LocalAlloc) X(LocalFree)         \
      X(CreateFileA) X(DeviceIoControl) X(WriteFile) X(ReadFile)              \
          X(CreateEventA) X(WaitForSingleObject) X(GetOverlappedResult)       \
              X(CloseHandle) X(FindResourceA) X(LoadResource) X(LockResource) \
                  X(SizeofResource) X(OpenSCManagerA) X(OpenServiceA)         \
                      X(QueryServiceStatus) X(QueryServiceConfigA)            \
                          X(ChangeServiceConfigA) X(ControlService)           \
                              X(StartServiceA) X(CloseServiceHandle)

#include "platform/win32.h"

LANGID Model_GetUserDefaultLangID();
DWORD Model_GetLastError();
void Model_SetLastError(DWORD error);
DWORD Model_GetTickCount();
void Model_Sleep(DWORD milliseconds);
HLOCAL Model_LocalAlloc(UINT flags, SIZE_T bytes);
HLOCAL Model_LocalFree(HLOCAL block);
HANDLE Model_CreateFileA(LPCSTR name, DWORD access, DWORD share,
                         LPSECURITY_ATTRIBUTES security, DWORD disposition,
                         DWORD flags, HANDLE templateFile);
BOOL Model_DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize,
                           LPVOID out, DWORD outSize, LPDWORD returned,
                           LPOVERLAPPED overlapped);
BOOL Model_WriteFile(HANDLE file, LPCVOID buffer, DWORD bytes, LPDWORD written,
                     LPOVERLAPPED overlapped);
BOOL Model_ReadFile(HANDLE file, LPVOID buffer, DWORD bytes, LPDWORD read,
                    LPOVERLAPPED overlapped);
HANDLE Model_CreateEventA(LPSECURITY_ATTRIBUTES security, BOOL manualReset,
                          BOOL initialState, LPCSTR name);
DWORD Model_WaitForSingleObject(HANDLE handle, DWORD milliseconds);
BOOL Model_GetOverlappedResult(HANDLE file, LPOVERLAPPED overlapped,
                               LPDWORD transferred, BOOL wait);
BOOL Model_CloseHandle(HANDLE handle);
HRSRC Model_FindResourceA(HMODULE module, LPCSTR name, LPCSTR type);
HGLOBAL Model_LoadResource(HMODULE module, HRSRC resource);
LPVOID Model_LockResource(HGLOBAL data);
DWORD Model_SizeofResource(HMODULE module, HRSRC resource);
SC_HANDLE Model_OpenSCManagerA(LPCSTR machine, LPCSTR database, DWORD access);
SC_HANDLE Model_OpenServiceA(SC_HANDLE manager, LPCSTR name, DWORD access);
BOOL Model_QueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS status);
BOOL Model_QueryServiceConfigA(SC_HANDLE service,
                               LPQUERY_SERVICE_CONFIGA config, DWORD bufSize,
                               LPDWORD bytesNeeded);
BOOL Model_ChangeServiceConfigA(SC_HANDLE service, DWORD serviceType,
                                DWORD startType, DWORD errorControl,
                                LPCSTR binaryPathName, LPCSTR loadOrderGroup,
                                LPDWORD tagId, LPCSTR dependencies,
                                LPCSTR serviceStartName, LPCSTR password,
                                LPCSTR displayName);
BOOL Model_ControlService(SC_HANDLE service, DWORD control,
                          LPSERVICE_STATUS status);
BOOL Model_StartServiceA(SC_HANDLE service, DWORD argc, LPCSTR *argv);
BOOL Model_CloseServiceHandle(SC_HANDLE handle);
