// The Windows types, constants and functions that scanfw uses, declared for
// systems without <windows.h>. Sizes match 32-bit Windows so that records
// look the same on the wire and in tests. The functions are implemented by
// platform/linux/ in the real program and by tests/fake/ in the tests.
#pragma once

#include <cstddef>
#include <cstdint>

#define WINAPI

typedef int BOOL;
typedef unsigned char BYTE;
typedef uint16_t WORD;
typedef uint16_t USHORT;
typedef uint32_t DWORD;
typedef uint32_t UINT;
typedef WORD LANGID;
typedef uintptr_t ULONG_PTR;
typedef size_t SIZE_T;
typedef void *HANDLE;
typedef void *LPVOID;
typedef const void *LPCVOID;
typedef char *LPSTR;
typedef const char *LPCSTR;
typedef DWORD *LPDWORD;
typedef int32_t LONG;
typedef char CHAR;
typedef uint16_t WCHAR;  // UTF-16, as on Windows
typedef WCHAR *LPWSTR;

struct HINSTANCE__;
typedef HINSTANCE__ *HMODULE;
struct HRSRC__;
typedef HRSRC__ *HRSRC;
typedef void *HGLOBAL;
typedef void *HLOCAL;
struct SC_HANDLE__;
typedef SC_HANDLE__ *SC_HANDLE;

#define TRUE 1
#define FALSE 0
#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#define INFINITE 0xFFFFFFFFu
#define ENABLE_PROCESSED_OUTPUT 0x0001

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define GENERIC_EXECUTE 0x20000000u
#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define OPEN_EXISTING 3u
#define FILE_ATTRIBUTE_SYSTEM 0x00000004u

#define WAIT_OBJECT_0 0x00000000u
#define WAIT_ABANDONED 0x00000080u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu

#define ERROR_SUCCESS 0u
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_PATH_NOT_FOUND 3u
#define ERROR_TOO_MANY_OPEN_FILES 4u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_NOT_ENOUGH_MEMORY 8u
#define ERROR_NO_MORE_FILES 18u
#define ERROR_NOT_READY 21u
#define ERROR_BAD_COMMAND 22u
#define ERROR_GEN_FAILURE 31u
#define ERROR_SHARING_VIOLATION 32u
#define ERROR_NOT_SUPPORTED 50u
#define ERROR_DEV_NOT_EXIST 55u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_CALL_NOT_IMPLEMENTED 120u
#define ERROR_SEM_TIMEOUT 121u
#define ERROR_INSUFFICIENT_BUFFER 122u
#define ERROR_BUSY 170u
#define ERROR_MR_MID_NOT_FOUND 317u
#define ERROR_OPERATION_ABORTED 995u
#define ERROR_IO_INCOMPLETE 996u
#define ERROR_IO_PENDING 997u
#define ERROR_DEPENDENT_SERVICES_RUNNING 1051u
#define ERROR_INVALID_SERVICE_CONTROL 1052u
#define ERROR_SERVICE_REQUEST_TIMEOUT 1053u
#define ERROR_SERVICE_NO_THREAD 1054u
#define ERROR_SERVICE_DATABASE_LOCKED 1055u
#define ERROR_SERVICE_ALREADY_RUNNING 1056u
#define ERROR_SERVICE_DISABLED 1058u
#define ERROR_SERVICE_DOES_NOT_EXIST 1060u
#define ERROR_SERVICE_CANNOT_ACCEPT_CTRL 1061u
#define ERROR_SERVICE_NOT_ACTIVE 1062u
#define ERROR_SERVICE_DEPENDENCY_FAIL 1068u
#define ERROR_SERVICE_LOGON_FAILED 1069u
#define ERROR_SERVICE_MARKED_FOR_DELETE 1072u
#define ERROR_NO_UNICODE_TRANSLATION 1113u
#define ERROR_SHUTDOWN_IN_PROGRESS 1115u
#define ERROR_IO_DEVICE 1117u
#define ERROR_DEVICE_NOT_CONNECTED 1167u
#define ERROR_RESOURCE_DATA_NOT_FOUND 1812u
#define ERROR_RESOURCE_TYPE_NOT_FOUND 1813u
#define ERROR_RESOURCE_NAME_NOT_FOUND 1814u
#define ERROR_RESOURCE_LANG_NOT_FOUND 1815u

#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200u
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000u
#define FORMAT_MESSAGE_MAX_WIDTH_MASK 0x000000FFu
#define LANG_NEUTRAL 0x00u
#define LANG_ENGLISH 0x09u
#define SUBLANG_DEFAULT 0x01u
#define SUBLANG_ENGLISH_US 0x01u
#define MAKELANGID(p, s) ((((WORD)(s)) << 10) | (WORD)(p))

#define LMEM_FIXED 0x0000u

#define MAKEINTRESOURCEA(i) ((LPSTR)(ULONG_PTR)((WORD)(i)))
#define MAKEINTRESOURCE MAKEINTRESOURCEA
#define IS_INTRESOURCE(r) ((((ULONG_PTR)(r)) >> 16) == 0)

#define SERVICE_QUERY_CONFIG 0x0001u
#define SERVICE_CHANGE_CONFIG 0x0002u
#define SERVICE_QUERY_STATUS 0x0004u
#define SERVICE_START 0x0010u
#define SERVICE_STOP 0x0020u
#define SERVICE_CONTROL_STOP 0x00000001u
#define SERVICE_STOPPED 0x00000001u
#define SERVICE_START_PENDING 0x00000002u
#define SERVICE_STOP_PENDING 0x00000003u
#define SERVICE_RUNNING 0x00000004u
#define SERVICE_CONTINUE_PENDING 0x00000005u
#define SERVICE_PAUSE_PENDING 0x00000006u
#define SERVICE_PAUSED 0x00000007u
#define SERVICE_ACCEPT_STOP 0x00000001u
#define SERVICE_BOOT_START 0x00000000u
#define SERVICE_SYSTEM_START 0x00000001u
#define SERVICE_AUTO_START 0x00000002u
#define SERVICE_DEMAND_START 0x00000003u
#define SERVICE_DISABLED 0x00000004u
#define SERVICE_NO_CHANGE 0xFFFFFFFFu
#define SERVICE_WIN32_OWN_PROCESS 0x00000010u
#define SERVICE_WIN32_SHARE_PROCESS 0x00000020u

#define IOCTL_GET_DEVICE_DESCRIPTOR 0x80002018u

typedef struct _SECURITY_ATTRIBUTES *LPSECURITY_ATTRIBUTES;

typedef struct _OVERLAPPED {
  ULONG_PTR Internal;
  ULONG_PTR InternalHigh;
  DWORD Offset;
  DWORD OffsetHigh;
  HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;

typedef struct _SERVICE_STATUS {
  DWORD dwServiceType;
  DWORD dwCurrentState;
  DWORD dwControlsAccepted;
  DWORD dwWin32ExitCode;
  DWORD dwServiceSpecificExitCode;
  DWORD dwCheckPoint;
  DWORD dwWaitHint;
} SERVICE_STATUS, *LPSERVICE_STATUS;

typedef struct _QUERY_SERVICE_CONFIGA {
  DWORD dwServiceType;
  DWORD dwStartType;
  DWORD dwErrorControl;
  LPSTR lpBinaryPathName;
  LPSTR lpLoadOrderGroup;
  DWORD dwTagId;
  LPSTR lpDependencies;
  LPSTR lpServiceStartName;
  LPSTR lpDisplayName;
} QUERY_SERVICE_CONFIGA, *LPQUERY_SERVICE_CONFIGA;

// Console control events; on Linux the platform layer delivers SIGINT as
// CTRL_C_EVENT and SIGTERM and SIGHUP as CTRL_BREAK_EVENT.
#define CTRL_C_EVENT 0u
#define CTRL_BREAK_EVENT 1u
#define CTRL_CLOSE_EVENT 2u
#define CTRL_LOGOFF_EVENT 5u
#define CTRL_SHUTDOWN_EVENT 6u
typedef BOOL(WINAPI *PHANDLER_ROUTINE)(DWORD ctrlType);

// Power requests; on Linux ES_SYSTEM_REQUIRED holds a logind inhibitor.
typedef DWORD EXECUTION_STATE;
#define ES_SYSTEM_REQUIRED 0x00000001u
#define ES_CONTINUOUS 0x80000000u

typedef struct _DEVICE_DESCRIPTOR {
  USHORT usVendorId;
  USHORT usProductId;
  USHORT usBcdDevice;
  USHORT usLanguageId;
} DEVICE_DESCRIPTOR, *PDEVICE_DESCRIPTOR;

// Standard handles and the console. On Linux standard output counts as a
// console when the locale's character set can be written to it: there text
// goes out as characters, converted, whatever the output is.
#define STD_INPUT_HANDLE ((DWORD)-10)
#define STD_OUTPUT_HANDLE ((DWORD)-11)
#define STD_ERROR_HANDLE ((DWORD)-12)
#define KEY_EVENT 0x0001u
#define MB_ERR_INVALID_CHARS 0x00000008u
// Virtual keys that a console reports but nobody presses to answer.
#define VK_SHIFT 0x10
#define VK_CONTROL 0x11
#define VK_MENU 0x12
#define VK_CAPITAL 0x14
#define VK_LWIN 0x5B
#define VK_RWIN 0x5C
#define VK_NUMLOCK 0x90
#define VK_SCROLL 0x91
#define VK_LSHIFT 0xA0
#define VK_RCONTROL 0xA3
#define VK_RMENU 0xA5

typedef struct _KEY_EVENT_RECORD {
  BOOL bKeyDown;
  WORD wRepeatCount;
  WORD wVirtualKeyCode;
  WORD wVirtualScanCode;
  union {
    WCHAR UnicodeChar;
    CHAR AsciiChar;
  } uChar;
  DWORD dwControlKeyState;
} KEY_EVENT_RECORD;

typedef struct _INPUT_RECORD {
  WORD EventType;
  union {
    KEY_EVENT_RECORD KeyEvent;
  } Event;
} INPUT_RECORD, *PINPUT_RECORD;

// The process snapshot; Linux has none (no process started it from a
// desktop shell that closes its window).
#define MAX_PATH 260
#define TH32CS_SNAPPROCESS 0x00000002u

typedef struct tagPROCESSENTRY32 {
  DWORD dwSize;
  DWORD cntUsage;
  DWORD th32ProcessID;
  ULONG_PTR th32DefaultHeapID;
  DWORD th32ModuleID;
  DWORD cntThreads;
  DWORD th32ParentProcessID;
  LONG pcPriClassBase;
  DWORD dwFlags;
  CHAR szExeFile[MAX_PATH];
} PROCESSENTRY32, *LPPROCESSENTRY32;

// Kernel services.
LANGID GetUserDefaultLangID();
DWORD GetLastError();
void SetLastError(DWORD error);
DWORD GetTickCount();
// The system's text for an error code; only FORMAT_MESSAGE_FROM_SYSTEM into
// a caller's buffer is used. The count of characters stored, 0 when there
// is no text.
DWORD FormatMessageA(DWORD flags, LPCVOID source, DWORD messageId,
                     DWORD languageId, LPSTR buffer, DWORD size, void *args);
void Sleep(DWORD milliseconds);
HLOCAL LocalAlloc(UINT flags, SIZE_T bytes);
HLOCAL LocalFree(HLOCAL block);

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share,
                   LPSECURITY_ATTRIBUTES security, DWORD disposition,
                   DWORD flags, HANDLE templateFile);
BOOL DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize,
                     LPVOID out, DWORD outSize, LPDWORD returned,
                     LPOVERLAPPED overlapped);
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD bytes, LPDWORD written,
               LPOVERLAPPED overlapped);
BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD bytes, LPDWORD read,
              LPOVERLAPPED overlapped);
HANDLE CreateEventA(LPSECURITY_ATTRIBUTES security, BOOL manualReset,
                    BOOL initialState, LPCSTR name);
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
typedef DWORD(WINAPI *LPTHREAD_START_ROUTINE)(LPVOID parameter);
HANDLE CreateThread(LPSECURITY_ATTRIBUTES security, SIZE_T stackSize,
                    LPTHREAD_START_ROUTINE routine, LPVOID parameter,
                    DWORD flags, LPDWORD threadId);
BOOL GetOverlappedResult(HANDLE file, LPOVERLAPPED overlapped,
                         LPDWORD transferred, BOOL wait);
BOOL CloseHandle(HANDLE handle);

BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE routine, BOOL add);
HANDLE GetStdHandle(DWORD which);
BOOL GetConsoleMode(HANDLE console, LPDWORD mode);
int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR text, int bytes,
                        LPWSTR wide, int wideChars);
BOOL WriteConsoleW(HANDLE console, const void *text, DWORD chars,
                   LPDWORD written, LPVOID reserved);
BOOL FlushConsoleInputBuffer(HANDLE console);
BOOL ReadConsoleInputA(HANDLE console, PINPUT_RECORD records, DWORD count,
                       LPDWORD read);
DWORD GetCurrentProcessId();
HANDLE CreateToolhelp32Snapshot(DWORD flags, DWORD processId);
BOOL Process32First(HANDLE snapshot, LPPROCESSENTRY32 entry);
BOOL Process32Next(HANDLE snapshot, LPPROCESSENTRY32 entry);
EXECUTION_STATE SetThreadExecutionState(EXECUTION_STATE flags);

HRSRC FindResourceA(HMODULE module, LPCSTR name, LPCSTR type);
HGLOBAL LoadResource(HMODULE module, HRSRC resource);
LPVOID LockResource(HGLOBAL data);
DWORD SizeofResource(HMODULE module, HRSRC resource);

// Below the Windows calls: what the platform learns under them (libusb, the
// kernel, logind) that no Windows error code carries, a line of text at a
// time. The diagnostic log names its writer while it is on; null, the
// platform says nothing and gathers nothing for it.
typedef void (*PLATFORM_LOG_ROUTINE)(const char *line);
void SetPlatformLogRoutine(PLATFORM_LOG_ROUTINE routine);
// The program's Traditional Chinese texts, for a platform that answers
// GetUserDefaultLangID with Chinese (Taiwan) only where its console shows
// them all: the routine calls `visit` on each while it returns true, and
// says whether it did for all. Named before the language is asked.
typedef bool (*PLATFORM_TEXTS_ROUTINE)(bool (*visit)(const char *text));
void SetPlatformTextsRoutine(PLATFORM_TEXTS_ROUTINE routine);

// Service control manager.
SC_HANDLE OpenSCManagerA(LPCSTR machine, LPCSTR database, DWORD access);
SC_HANDLE OpenServiceA(SC_HANDLE manager, LPCSTR name, DWORD access);
BOOL QueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS status);
BOOL QueryServiceConfigA(SC_HANDLE service, LPQUERY_SERVICE_CONFIGA config,
                         DWORD bufSize, LPDWORD bytesNeeded);
BOOL ChangeServiceConfigA(SC_HANDLE service, DWORD serviceType, DWORD startType,
                          DWORD errorControl, LPCSTR binaryPathName,
                          LPCSTR loadOrderGroup, LPDWORD tagId,
                          LPCSTR dependencies, LPCSTR serviceStartName,
                          LPCSTR password, LPCSTR displayName);
BOOL ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status);
BOOL StartServiceA(SC_HANDLE service, DWORD argc, LPCSTR *argv);
BOOL CloseServiceHandle(SC_HANDLE handle);
