// The shared core of the fake: clock, language, last error, call record,
// handle table and the LocalAlloc account.
#include "tests/fake/fake_platform.h"

#include <cstdlib>

#include "tests/fake/alloc_counter.h"
#include "tests/fake/check/faults.h"

namespace fake {
namespace {
const uintptr_t kHandleBase = 0x1000;
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
  S() = State();
  S().calls.reserve(4096);
  ResetScanner();
  ResetService();
  ResetImage();
  ResetEntries();
}

void Record(const std::string &name, const std::string &detail,
            const void *buffer, uint32_t length) {
  Bookkeeping b;
  Call call;
  call.name = name;
  call.detail = detail;
  call.buffer = buffer;
  call.length = length;
  S().calls.push_back(call);
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

int OpenHandles(HandleKind kind) {
  int n = 0;
  for (const HandleInfo &h : S().handles)
    if (h.kind == kind && h.open) ++n;
  return n;
}

int HandlesCreated(HandleKind kind) {
  int n = 0;
  for (const HandleInfo &h : S().handles)
    if (h.kind == kind) ++n;
  return n;
}

}  // namespace fake

using fake::S;

LANGID GetUserDefaultLangID() {
  fake::Bookkeeping b;
  fake::Record("GetUserDefaultLangID", "");
  return S().langId;
}

DWORD GetLastError() { return S().lastError; }
void SetLastError(DWORD error) { S().lastError = error; }

DWORD GetTickCount() {
  fake::Bookkeeping b;
  fake::Record("GetTickCount", "");
  return S().tick;
}

void Sleep(DWORD milliseconds) {
  fake::Bookkeeping b;
  fake::Record("Sleep", std::to_string(milliseconds));
  S().tick += milliseconds;  // wraps as the real counter does
  S().sleptMs += milliseconds;
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
