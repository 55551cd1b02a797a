// The console and the process snapshot of the fake: standard handles whose
// kind a test sets, a UTF-16 record of what the console was given, the
// console's input on the virtual clock, and a snapshot in which the
// program's parent is whatever the test names.
#include <iconv.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "tests/fake/fake_platform.h"

using fake::S;

namespace {

struct Process {
  DWORD id;
  DWORD parent;
  const char *image;
};

// The snapshot as the fake lists it: the parent first, then an Explorer that
// is someone else's parent, then the program.
bool ProcessAt(size_t i, Process *p) {
  const bool withParent = !S().parentImage.empty();
  if (withParent && i == 0) {
    *p = Process{fake::kParentProcessId, 4, S().parentImage.c_str()};
    return true;
  }
  if (withParent) --i;
  if (i == 0) *p = Process{fake::kOtherExplorerId, 4, "explorer.exe"};
  if (i == 1)
    *p = Process{fake::kOwnProcessId, fake::kParentProcessId, "scanfw.exe"};
  return i < 2;
}

BOOL Listed(LPPROCESSENTRY32 entry) {
  Process p;
  if (!ProcessAt(S().snapshotCursor, &p))
    return fake::Fail(ERROR_NO_MORE_FILES, FALSE);
  ++S().snapshotCursor;
  std::memset(entry, 0, sizeof *entry);
  entry->dwSize = sizeof *entry;
  entry->th32ProcessID = p.id;
  entry->th32ParentProcessID = p.parent;
  std::strncpy(entry->szExeFile, p.image, MAX_PATH - 1);
  return TRUE;
}

bool IsSnapshot(HANDLE handle, LPPROCESSENTRY32 entry) {
  const fake::HandleInfo *info = fake::FindHandle(handle);
  return info != nullptr && info->open &&
         info->kind == fake::HandleKind::Snapshot && entry != nullptr &&
         entry->dwSize == sizeof *entry;
}

}  // namespace

DWORD fake::WaitForInput(DWORD milliseconds) {
  if (!S().consoleIn) return Fail(ERROR_INVALID_HANDLE, WAIT_FAILED);
  if (S().inputTaken < S().input.size()) {
    const uint32_t at = S().input[S().inputTaken].tick;
    if (at - S().tick <= milliseconds || at <= S().tick) {
      if (at > S().tick) S().tick = at;
      return WAIT_OBJECT_0;
    }
  }
  if (milliseconds == INFINITE)
    return Fail(ERROR_INVALID_PARAMETER, WAIT_FAILED);
  S().tick += milliseconds;
  return WAIT_TIMEOUT;
}

HANDLE GetStdHandle(DWORD which) {
  fake::Bookkeeping b;
  fake::Record("GetStdHandle", which == STD_INPUT_HANDLE   ? "input"
                               : which == STD_ERROR_HANDLE ? "error"
                                                           : "output");
  // Standard error is never a console here: what goes there is its bytes.
  return which == STD_INPUT_HANDLE   ? fake::kConsoleInput
         : which == STD_ERROR_HANDLE ? fake::kConsoleError
                                     : fake::kConsoleOutput;
}

BOOL GetConsoleMode(HANDLE console, LPDWORD mode) {
  fake::Bookkeeping b;
  fake::Record("GetConsoleMode", fake::Hex(console));
  const bool ok = (console == fake::kConsoleOutput && S().consoleOut) ||
                  (console == fake::kConsoleInput && S().consoleIn);
  if (!ok) return fake::Fail(ERROR_INVALID_HANDLE, FALSE);
  if (mode != nullptr) *mode = 3;
  return TRUE;
}

// Code page 950 as iconv knows it.
int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR text, int bytes,
                        LPWSTR wide, int wideChars) {
  fake::Bookkeeping b;
  fake::Record("MultiByteToWideChar", "cp=" + std::to_string(codePage) +
                                          " flags=" + std::to_string(flags) +
                                          " bytes=" + std::to_string(bytes));
  // iconv refuses what is no Big5, as MB_ERR_INVALID_CHARS asks.
  if (codePage != 950 || flags != MB_ERR_INVALID_CHARS || text == nullptr ||
      wide == nullptr || bytes < 0)
    return fake::Fail(ERROR_INVALID_PARAMETER, 0);
  iconv_t cd = iconv_open("UTF-16LE", "BIG5");
  char *from = const_cast<char *>(text);
  size_t left = static_cast<size_t>(bytes);
  char *to = reinterpret_cast<char *>(wide);
  size_t room = static_cast<size_t>(wideChars) * sizeof(WCHAR);
  const size_t r = iconv(cd, &from, &left, &to, &room);
  const int error = errno;
  iconv_close(cd);
  if (r == static_cast<size_t>(-1))
    return fake::Fail(error == E2BIG ? ERROR_INSUFFICIENT_BUFFER
                                     : ERROR_NO_UNICODE_TRANSLATION,
                      0);
  return wideChars - static_cast<int>(room / sizeof(WCHAR));
}

BOOL WriteConsoleW(HANDLE console, const void *text, DWORD chars,
                   LPDWORD written, LPVOID reserved) {
  fake::Bookkeeping b;
  fake::Record("WriteConsoleW",
               fake::Hex(console) + " chars=" + std::to_string(chars));
  if (written != nullptr) *written = 0;
  if (console != fake::kConsoleOutput || !S().consoleOut || text == nullptr ||
      reserved != nullptr)
    return fake::Fail(ERROR_INVALID_HANDLE, FALSE);
  const WCHAR *units = static_cast<const WCHAR *>(text);
  S().console.append(units, units + chars);
  std::string big5(chars * 2, '\0');
  iconv_t cd = iconv_open("BIG5", "UTF-16LE");
  char *from = const_cast<char *>(static_cast<const char *>(text));
  size_t left = chars * sizeof(WCHAR), room = big5.size();
  char *to = &big5[0];
  iconv(cd, &from, &left, &to, &room);
  iconv_close(cd);
  std::fwrite(big5.data(), 1, big5.size() - room, stdout);
  if (written != nullptr) *written = chars;
  return TRUE;
}

// Drops what was typed up to now.
BOOL FlushConsoleInputBuffer(HANDLE console) {
  fake::Bookkeeping b;
  fake::Record("FlushConsoleInputBuffer", fake::Hex(console));
  if (console != fake::kConsoleInput || !S().consoleIn)
    return fake::Fail(ERROR_INVALID_HANDLE, FALSE);
  while (S().inputTaken < S().input.size() &&
         S().input[S().inputTaken].tick <= S().tick)
    ++S().inputTaken;
  if (S().keyAfterFlushMs != 0)
    S().input.push_back({S().tick + S().keyAfterFlushMs, KEY_EVENT, TRUE});
  return TRUE;
}

BOOL ReadConsoleInputA(HANDLE console, PINPUT_RECORD records, DWORD count,
                       LPDWORD read) {
  fake::Bookkeeping b;
  fake::Record("ReadConsoleInputA", fake::Hex(console));
  if (read != nullptr) *read = 0;
  if (console != fake::kConsoleInput || !S().consoleIn || records == nullptr ||
      count == 0 || read == nullptr)
    return fake::Fail(ERROR_INVALID_HANDLE, FALSE);
  // A console read waits for input; what no one will type would hang it.
  if (S().inputTaken >= S().input.size() ||
      S().input[S().inputTaken].tick > S().tick)
    return fake::Fail(ERROR_INVALID_PARAMETER, FALSE);
  const fake::ConsoleInputRecord &r = S().input[S().inputTaken++];
  std::memset(records, 0, sizeof *records);
  records->EventType = r.type;
  records->Event.KeyEvent.bKeyDown = r.keyDown;
  records->Event.KeyEvent.wVirtualKeyCode = r.virtualKey;
  *read = 1;
  return TRUE;
}

DWORD GetCurrentProcessId() {
  fake::Bookkeeping b;
  fake::Record("GetCurrentProcessId", "");
  return fake::kOwnProcessId;
}

HANDLE CreateToolhelp32Snapshot(DWORD flags, DWORD processId) {
  fake::Bookkeeping b;
  fake::Record("CreateToolhelp32Snapshot",
               fake::Hex(flags) + " " + std::to_string(processId));
  if (flags != TH32CS_SNAPPROCESS)
    return fake::Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
  return fake::NewHandle(fake::HandleKind::Snapshot, 0);
}

BOOL Process32First(HANDLE snapshot, LPPROCESSENTRY32 entry) {
  fake::Bookkeeping b;
  fake::Record("Process32First", fake::Hex(snapshot));
  if (!IsSnapshot(snapshot, entry))
    return fake::Fail(ERROR_INVALID_PARAMETER, FALSE);
  S().snapshotCursor = 0;
  return Listed(entry);
}

BOOL Process32Next(HANDLE snapshot, LPPROCESSENTRY32 entry) {
  fake::Bookkeeping b;
  fake::Record("Process32Next", fake::Hex(snapshot));
  if (!IsSnapshot(snapshot, entry))
    return fake::Fail(ERROR_INVALID_PARAMETER, FALSE);
  return Listed(entry);
}
