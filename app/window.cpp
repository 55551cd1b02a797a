#include "app/window.h"

#include <cctype>

#include "app/interrupt.h"
#include "platform/win32.h"

namespace {

// Slices short enough that Ctrl+C, which puts nothing into the input, ends
// the wait at once to a person's eye.
const DWORD kHoldSliceMs = 200;

HANDLE ConsoleInput() {
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode = 0;
  if (in == nullptr || in == INVALID_HANDLE_VALUE || !GetConsoleMode(in, &mode))
    return nullptr;
  return in;
}

// Snapshots name the image without its folder; compared without case, as
// Windows names files.
bool IsExplorer(const char *image) {
  const char kName[] = "explorer.exe";
  size_t i = 0;
  for (; kName[i] != '\0'; ++i)
    if (std::tolower(static_cast<unsigned char>(image[i])) != kName[i])
      return false;
  return image[i] == '\0';
}

// The process with the given id in the snapshot; false when it is not there.
bool FindProcess(HANDLE snapshot, DWORD id, PROCESSENTRY32 *entry) {
  entry->dwSize = sizeof *entry;
  for (BOOL more = Process32First(snapshot, entry); more;
       more = Process32Next(snapshot, entry)) {
    if (entry->th32ProcessID == id) return true;
  }
  return false;
}

// Shift, Ctrl, Alt (also the Alt of Alt+Tab or Alt+PrtScn, which the
// console receives), the Windows keys and the lock keys come alone too; only
// another key is an answer.
bool IsAnswer(const KEY_EVENT_RECORD &key) {
  const WORD vk = key.wVirtualKeyCode;
  if (!key.bKeyDown) return false;
  return vk != VK_SHIFT && vk != VK_CONTROL && vk != VK_MENU &&
         vk != VK_CAPITAL && vk != VK_LWIN && vk != VK_RWIN &&
         vk != VK_NUMLOCK && vk != VK_SCROLL &&
         (vk < VK_LSHIFT || vk > VK_RMENU);
}

}  // namespace

bool StartedFromExplorer() {
  if (ConsoleInput() == nullptr) return false;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE || snapshot == nullptr) return false;
  PROCESSENTRY32 entry = {};
  bool explorer = false;
  if (FindProcess(snapshot, GetCurrentProcessId(), &entry)) {
    const DWORD parent = entry.th32ParentProcessID;
    explorer =
        FindProcess(snapshot, parent, &entry) && IsExplorer(entry.szExeFile);
  }
  CloseHandle(snapshot);
  return explorer;
}

void HoldWindowOpen(LanguageIndex language) {
  const unsigned stops = StopRequests();
  PrintMessage(MsgPressAnyKey, language);
  HANDLE in = ConsoleInput();
  if (in == nullptr) return;
  // Keys pressed during the run must not close the window unread.
  FlushConsoleInputBuffer(in);
  const DWORD start = GetTickCount();
  for (;;) {
    if (StopRequests() != stops) return;
    const DWORD elapsed = GetTickCount() - start;
    if (elapsed >= kHoldWindowMs) return;
    const DWORD left = kHoldWindowMs - elapsed;
    const DWORD wait =
        WaitForSingleObject(in, left < kHoldSliceMs ? left : kHoldSliceMs);
    if (wait == WAIT_TIMEOUT) continue;
    if (wait != WAIT_OBJECT_0) return;
    INPUT_RECORD record = {};
    DWORD read = 0;
    if (!ReadConsoleInputA(in, &record, 1, &read) || read == 0) return;
    // Releasing a key, the mouse and focus changes come in as input too.
    if (record.EventType == KEY_EVENT && IsAnswer(record.Event.KeyEvent))
      return;
  }
}
