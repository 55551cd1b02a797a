// The shared core of the fake: clock, language, last error, call record,
// handle table and the LocalAlloc account.
#include "tests/fake/fake_platform.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tests/fake/alloc_counter.h"
#include "tests/fake/check/faults.h"
#include "tests/fake/fake_service.h"

namespace fake {
namespace {
const uintptr_t kHandleBase = 0x1000;

struct Armed {
  Interrupt interrupt;
  int seen = 0;
  bool armed = false;
  InterruptReport report;
};

std::vector<Armed> &A() {
  static std::vector<Armed> armed;
  return armed;
}

bool Matches(const Armed &a, const Call &call) {
  return a.armed && call.name == a.interrupt.call &&
         (a.interrupt.detail.empty() ||
          call.detail.find(a.interrupt.detail) != std::string::npos);
}

// After a call was recorded: the armed interrupts whose call this is.
void MaybeFire() {
  const size_t at = S().calls.size() - 1;
  for (size_t i = 0; i < A().size(); ++i) {
    if (!Matches(A()[i], S().calls[at])) continue;
    if (++A()[i].seen < A()[i].interrupt.occurrence) continue;
    A()[i].armed = false;  // the handler's own calls must not fire it again
    InterruptReport report;
    report.fired = true;
    report.callIndex = at;
    report.tick = S().tick;
    PHANDLER_ROUTINE handler = S().ctrlHandler;
    report.result =
        handler != nullptr ? handler(A()[i].interrupt.event) : FALSE;
    report.returnedAt = S().calls.size();
    report.serviceAfter = DescribeService();
    A()[i].report = report;
  }
}
}  // namespace

void ArmInterrupt(const Interrupt &interrupt) {
  Bookkeeping b;
  Armed armed;
  armed.interrupt = interrupt;
  armed.armed = !interrupt.call.empty();
  A().push_back(armed);
}

const InterruptReport &Fired(size_t n) {
  static const InterruptReport kNone;
  return n < A().size() ? A()[n].report : kNone;
}

State &S() {
  static State state;
  return state;
}

Bookkeeping::Bookkeeping() { alloc_counter::Suspend(); }
Bookkeeping::~Bookkeeping() { alloc_counter::Resume(); }

void Reset() {
  Bookkeeping b;
  for (void *block : S().liveBlocks) std::free(block);
  // The record keeps its room from run to run: a fuzzer resets thousands of
  // times a second.
  std::vector<Call> calls;
  calls.swap(S().calls);
  calls.clear();
  S() = State();
  S().calls.swap(calls);
  S().calls.reserve(4096);
  A().clear();
  ResetScanner();
  ResetService();
  ResetImage();
  ResetEntries();
}

void Record(const std::string &name, const std::string &detail,
            const void *buffer, uint32_t length,
            const std::vector<uint8_t> *bytes) {
  Bookkeeping b;
  S().calls.push_back(Call{name, detail, buffer, length,
                           bytes ? *bytes : std::vector<uint8_t>()});
  MaybeFire();
}

std::string Hex(uintptr_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llx",
                static_cast<unsigned long long>(value));
  return text;
}
std::string Hex(const void *pointer) {
  return Hex(reinterpret_cast<uintptr_t>(pointer));
}

std::vector<std::string> CallNames() {
  std::vector<std::string> names;
  for (const Call &c : S().calls) names.push_back(c.name);
  return names;
}

std::vector<Call> CallsNamed(const std::string &name) {
  std::vector<Call> found;
  for (const Call &c : S().calls)
    if (c.name == name) found.push_back(c);
  return found;
}

HANDLE NewHandle(HandleKind kind, int tag) {
  Bookkeeping b;
  S().handles.push_back(HandleInfo{kind, tag, true});
  return reinterpret_cast<HANDLE>(kHandleBase + 4 * (S().handles.size() - 1));
}

HandleInfo *FindHandle(const void *handle) {
  uintptr_t value = reinterpret_cast<uintptr_t>(handle);
  if (value < kHandleBase || (value - kHandleBase) % 4 != 0) return nullptr;
  size_t slot = (value - kHandleBase) / 4;
  if (slot >= S().handles.size()) return nullptr;
  return &S().handles[slot];
}

bool CloseFakeHandle(const void *handle, HandleKind kind) {
  HandleInfo *info = FindHandle(handle);
  if (info == nullptr || !info->open || info->kind != kind) {
    ++S().badCloses;
    return false;
  }
  info->open = false;
  return true;
}

static int CountHandles(HandleKind kind, bool openOnly) {
  int n = 0;
  for (const HandleInfo &h : S().handles)
    if (h.kind == kind && (h.open || !openOnly)) ++n;
  return n;
}
int OpenHandles(HandleKind kind) { return CountHandles(kind, true); }
int HandlesCreated(HandleKind kind) { return CountHandles(kind, false); }

}  // namespace fake

using fake::S;

LANGID GetUserDefaultLangID() {
  fake::Bookkeeping b;
  fake::Record("GetUserDefaultLangID", "");
  return S().langId;
}

// The fake has nothing beneath its calls to tell, and its console shows
// every text.
void SetPlatformLogRoutine(PLATFORM_LOG_ROUTINE) {}
void SetPlatformTextsRoutine(PLATFORM_TEXTS_ROUTINE) {}

DWORD GetLastError() { return S().lastError; }
void SetLastError(DWORD error) { S().lastError = error; }

DWORD GetTickCount() {
  fake::Bookkeeping b;
  fake::Record("GetTickCount", "");
  return S().tick;
}

// The system's text for an error: a fixed English sentence naming the code,
// so that tests can see it was asked for.
DWORD FormatMessageA(DWORD flags, LPCVOID, DWORD messageId, DWORD languageId,
                     LPSTR buffer, DWORD size, void *) {
  fake::Bookkeeping b;
  fake::Record("FormatMessageA", fake::Hex(flags) + "," +
                                     std::to_string(messageId) + "," +
                                     fake::Hex(languageId));
  if (buffer == nullptr || size == 0)
    return fake::Fail(ERROR_INVALID_PARAMETER, 0u);
  char text[64];
  const int n =
      std::snprintf(text, sizeof text, "System text of error %lu.\r\n",
                    static_cast<unsigned long>(messageId));
  if (n < 0 || static_cast<DWORD>(n) >= size) {
    buffer[0] = '\0';
    return fake::Fail(ERROR_INSUFFICIENT_BUFFER, 0u);
  }
  std::memcpy(buffer, text, static_cast<size_t>(n) + 1);
  return static_cast<DWORD>(n);
}

void Sleep(DWORD milliseconds) {
  fake::Bookkeeping b;
  fake::Record("Sleep", std::to_string(milliseconds));
  S().tick += milliseconds;  // wraps as the real counter does
  S().sleptMs += milliseconds;
  if (S().onSleep != nullptr) S().onSleep(milliseconds);
}

HLOCAL LocalAlloc(UINT flags, SIZE_T bytes) {
  fake::Bookkeeping b;
  fake::Record("LocalAlloc",
               std::to_string(flags) + "," + std::to_string(bytes));
  if (S().failNextAlloc) {
    S().failNextAlloc = false;
    S().lastError = ERROR_NOT_ENOUGH_MEMORY;
    return nullptr;
  }
  // Filled with a pattern so that a caller relying on zeroed memory shows.
  void *block = std::malloc(bytes ? bytes : 1);
  for (SIZE_T i = 0; i < bytes; ++i)
    static_cast<unsigned char *>(block)[i] = 0xCD;
  S().liveBlocks.push_back(block);
  ++S().blocksAllocated;
  return block;
}

HLOCAL LocalFree(HLOCAL block) {
  fake::Bookkeeping b;
  fake::Record("LocalFree", "");
  for (size_t i = 0; i < S().liveBlocks.size(); ++i) {
    if (S().liveBlocks[i] == block) {
      std::free(block);
      S().liveBlocks.erase(S().liveBlocks.begin() + static_cast<long>(i));
      ++S().blocksFreed;
      return nullptr;
    }
  }
  ++S().badCloses;
  return block;
}

BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE routine, BOOL add) {
  fake::Bookkeeping b;
  fake::Record("SetConsoleCtrlHandler",
               std::string(routine ? "routine" : "null") +
                   " add=" + std::to_string(add));
  if (routine == nullptr) return FALSE;  // ignoring Ctrl+C is not used
  if (add) {
    S().ctrlHandler = routine;
  } else if (S().ctrlHandler == routine) {
    S().ctrlHandler = nullptr;
  }
  return TRUE;
}

EXECUTION_STATE SetThreadExecutionState(EXECUTION_STATE flags) {
  fake::Bookkeeping b;
  fake::Record("SetThreadExecutionState", fake::Hex(flags));
  S().executionRequests.push_back(flags);
  const EXECUTION_STATE previous = S().executionState;
  if (flags & ES_CONTINUOUS) S().executionState = flags;
  return previous;
}
