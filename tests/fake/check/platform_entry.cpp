// The Windows-named calls the program links against. The model's own
// definitions carry the "Model_" prefix (the build renames them); these
// count, log, inject and hand on.
#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <tuple>
#include <type_traits>

#include "device/protocol.h"
#include "tests/fake/alloc_counter.h"
#include "tests/fake/check/faults.h"
#include "tests/fake/check/model_names.h"
#include "tests/fake/fake_platform.h"
#include "tests/fake/fake_service.h"

// A parenthesised part of a row, unwrapped.
#define SCANFW_LIST(...) __VA_ARGS__

namespace fake {
namespace {

struct Layer {
  std::vector<Entry> entries;
  std::vector<std::pair<long, Way>> armed;
  Mutant mutant = Mutant::None;
  const void *lastReadBuffer = nullptr;
  uint32_t lastReadLength = 0;
};

Layer &L() {
  static Layer layer;
  return layer;
}

// One thread in the fake at a time: the console control handler's thread
// calls it too. Recursive, as the fake calls the handler from inside a call.
std::recursive_mutex &Serial() {
  static std::recursive_mutex serial;
  return serial;
}

// A call as counted: its log entry and the fault armed for it; the fake is
// the caller's until the call returns.
struct Course {
  size_t slot;
  Way way;
  std::unique_lock<std::recursive_mutex> hold;
};

Entry &At(size_t slot) { return L().entries[slot]; }

// Counts the call, with the handle it was given, and returns the fault armed
// for it.
Course Begin(const char *name, const void *handle = nullptr) {
  std::unique_lock<std::recursive_mutex> hold(Serial());
  Bookkeeping b;
  Layer &l = L();
  if (l.entries.capacity() == 0) l.entries.reserve(1 << 16);
  Entry e;
  std::memset(&e, 0, sizeof e);
  e.name = name;
  e.ok = true;
  e.handle = handle;
  e.allocations = alloc_counter::Seen();
  l.entries.push_back(e);
  const long index = static_cast<long>(l.entries.size());
  Way way = Way::None;
  for (const auto &a : l.armed)
    if (a.first == index) way = a.second;
  if (way != Way::None) {
    const std::vector<Way> &ways = WaysFor(name);
    if (std::find(ways.begin(), ways.end(), way) == ways.end()) way = Way::None;
  }
  l.entries.back().injected = way;
  return Course{l.entries.size() - 1, way, std::move(hold)};
}

void Failed(size_t slot, DWORD error) {
  At(slot).ok = false;
  At(slot).value = error;
}

DWORD ErrorOf(Way way) {
  switch (way) {
    case Way::Denied:
      return ERROR_ACCESS_DENIED;
    case Way::Insufficient:
      return ERROR_INSUFFICIENT_BUFFER;
    default:
      return ERROR_GEN_FAILURE;
  }
}

bool FailingWay(Way way) {
  return way == Way::Fails || way == Way::Denied || way == Way::Insufficient ||
         way == Way::NullHandle;
}

void Adjust(Way way, LPDWORD count) {
  if (count == nullptr) return;
  if (way == Way::Short && *count > 0) --*count;
  if (way == Way::Long) ++*count;
}

// The rest of a counted call. A failing fault answers `bad` with `error`
// (the way's own error when 0) and the model is not asked; otherwise the
// model answers, a handle it returns is logged, a `bad` answer is logged
// with its last error, and a good one has its count bent as the fault says.
template <typename R, typename Model>
R Answer(const Course &c, R bad, DWORD error, LPDWORD count, Model model) {
  if (FailingWay(c.way)) {
    if (error == 0) error = ErrorOf(c.way);
    Model_SetLastError(error);
    Failed(c.slot, error);
    return bad;
  }
  const R r = model();
  if constexpr (std::is_pointer<R>::value) At(c.slot).handle = r;
  if constexpr (std::is_same<R, DWORD>::value) At(c.slot).value = r;
  if (r == bad) {
    Failed(c.slot, Model_GetLastError());
  } else {
    Adjust(c.way, count);
  }
  return r;
}

// A counted call the model answers with the caller's own arguments.
template <typename R, typename... P, typename... A>
R Pass(const Course &c, std::common_type_t<R> bad, DWORD error, LPDWORD count,
       R (*model)(P...), A... args) {
  return Answer<R>(c, bad, error, count, [&] { return model(args...); });
}

// A call whose failure is laid on after the model has answered: a close
// happens all the same, as a failing close frees the handle on Windows.
BOOL Overruled(const Course &c, BOOL ok) {
  if (ok && FailingWay(c.way)) {
    Model_SetLastError(ErrorOf(c.way));
    ok = FALSE;
  }
  if (!ok) Failed(c.slot, Model_GetLastError());
  return ok;
}

}  // namespace

const char *WayName(Way way) {
  static const char *const names[] = {
      "none", "fails",   "denied",     "insufficient", "short",
      "long", "timeout", "wait-fails", "null-handle",  "?"};
  return names[static_cast<int>(way)];
}

void ResetEntries() {
  Bookkeeping b;
  Layer &l = L();
  l.entries.clear();
  l.armed.clear();
  l.lastReadBuffer = nullptr;
  l.lastReadLength = 0;
}

const std::vector<Entry> &Entries() { return L().entries; }

void Arm(long index, Way way) {
  Bookkeeping b;
  L().armed.emplace_back(index, way);
}

void SetMutant(Mutant mutant) { L().mutant = mutant; }

Mutant MutantFromName(const char *name) {
  const std::string n = name == nullptr ? "" : name;
  if (n == "resume-never-starts") return Mutant::ResumeNeverStarts;
  if (n == "event-left-open") return Mutant::EventLeftOpen;
  if (n == "bulk-write-short") return Mutant::BulkWriteShort;
  return Mutant::None;
}

const std::vector<Way> &WaysFor(const char *name) {
  // The list names the ways bare.
  const Way Fails = Way::Fails, Denied = Way::Denied,
            Insufficient = Way::Insufficient, Short = Way::Short,
            Long = Way::Long, Timeout = Way::Timeout,
            WaitFails = Way::WaitFails, NullHandle = Way::NullHandle;
#define SCANFW_WAYS_ROW(call, arity, ways, ...) {#call, {SCANFW_LIST ways}},
  static const std::map<std::string, std::vector<Way>> table = {
      SCANFW_MODEL_CALLS(SCANFW_WAYS_ROW)};
#undef SCANFW_WAYS_ROW
  static const std::vector<Way> none;
  auto it = table.find(name);
  return it == table.end() ? none : it->second;
}

}  // namespace fake

using fake::Way;

// The entry points of the calls that the list counts with PASS or KEEP, made
// from their rows: each takes the parameters of its call's declaration, named
// a0, a1, ... as the rows name them.
template <typename F>
struct Signature;
template <typename R, typename... A>
struct Signature<R(A...)> {
  using Result = R;
  template <size_t I>
  using Arg = std::tuple_element_t<I, std::tuple<A...>>;
};

// clang-format off
#define SCANFW_A(c, i) Signature<decltype(::c)>::Arg<i> a##i
#define SCANFW_PARAMS_1(c) SCANFW_A(c, 0)
#define SCANFW_PARAMS_2(c) SCANFW_PARAMS_1(c), SCANFW_A(c, 1)
#define SCANFW_PARAMS_3(c) SCANFW_PARAMS_2(c), SCANFW_A(c, 2)
#define SCANFW_PARAMS_4(c) SCANFW_PARAMS_3(c), SCANFW_A(c, 3)
#define SCANFW_PARAMS_5(c) SCANFW_PARAMS_4(c), SCANFW_A(c, 4)
#define SCANFW_PARAMS_6(c) SCANFW_PARAMS_5(c), SCANFW_A(c, 5)
#define SCANFW_PARAMS_7(c) SCANFW_PARAMS_6(c), SCANFW_A(c, 6)
#define SCANFW_PARAMS_8(c) SCANFW_PARAMS_7(c), SCANFW_A(c, 7)
#define SCANFW_PARAMS_9(c) SCANFW_PARAMS_8(c), SCANFW_A(c, 8)
#define SCANFW_PARAMS_10(c) SCANFW_PARAMS_9(c), SCANFW_A(c, 9)
#define SCANFW_PARAMS_11(c) SCANFW_PARAMS_10(c), SCANFW_A(c, 10)
#define SCANFW_ARGS_1 a0
#define SCANFW_ARGS_2 SCANFW_ARGS_1, a1
#define SCANFW_ARGS_3 SCANFW_ARGS_2, a2
#define SCANFW_ARGS_4 SCANFW_ARGS_3, a3
#define SCANFW_ARGS_5 SCANFW_ARGS_4, a4
#define SCANFW_ARGS_6 SCANFW_ARGS_5, a5
#define SCANFW_ARGS_7 SCANFW_ARGS_6, a6
#define SCANFW_ARGS_8 SCANFW_ARGS_7, a7
#define SCANFW_ARGS_9 SCANFW_ARGS_8, a8
#define SCANFW_ARGS_10 SCANFW_ARGS_9, a9
#define SCANFW_ARGS_11 SCANFW_ARGS_10, a10
#define SCANFW_KEPT(call, n, handle, bad, error, count, buf, len)           \
  Signature<decltype(::call)>::Result call(SCANFW_PARAMS_##n(call)) {       \
    const fake::Course c = fake::Begin(#call, handle);                      \
    fake::At(c.slot).buffer = buf;                                          \
    fake::At(c.slot).length = static_cast<uint32_t>(len);                   \
    return fake::Pass(c, bad, error, count, Model_##call, SCANFW_ARGS_##n); \
  }
#define SCANFW_EXPAND(...) SCANFW_KEPT(__VA_ARGS__)
#define SCANFW_ENTRY_PASS(call, n, how) \
  SCANFW_EXPAND(call, n, SCANFW_LIST how, nullptr, 0)
#define SCANFW_ENTRY_KEEP(call, n, how) SCANFW_EXPAND(call, n, SCANFW_LIST how)
#define SCANFW_ENTRY_OWN(call, n, how)
#define SCANFW_ENTRY(call, n, ways, kind, how) SCANFW_ENTRY_##kind(call, n, how)
SCANFW_MODEL_CALLS(SCANFW_ENTRY)
// clang-format on

LANGID GetUserDefaultLangID() {
  const fake::Course c = fake::Begin("GetUserDefaultLangID");
  return Model_GetUserDefaultLangID();
}

DWORD GetLastError() {
  const fake::Course c = fake::Begin("GetLastError");
  return fake::At(c.slot).value = Model_GetLastError();
}

void SetLastError(DWORD error) {
  const fake::Course c = fake::Begin("SetLastError");
  Model_SetLastError(error);
}

DWORD GetTickCount() {
  const fake::Course c = fake::Begin("GetTickCount");
  return fake::At(c.slot).value = Model_GetTickCount();
}

void Sleep(DWORD milliseconds) {
  const fake::Course c = fake::Begin("Sleep");
  fake::At(c.slot).value = milliseconds;
  Model_Sleep(milliseconds);
}

HLOCAL LocalFree(HLOCAL block) {
  const fake::Course c = fake::Begin("LocalFree", block);
  HLOCAL result = Model_LocalFree(block);
  if (result != nullptr) fake::Failed(c.slot, 0);
  return result;
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD bytes, LPDWORD written,
               LPOVERLAPPED overlapped) {
  const fake::Course c = fake::Begin("WriteFile", file);
  if (fake::L().mutant == fake::Mutant::BulkWriteShort &&
      bytes != kCommandBlockSize && bytes > 0)
    --bytes;
  fake::Entry &e = fake::At(c.slot);
  e.buffer = buffer;
  e.length = bytes;
  if (bytes == kCommandBlockSize && buffer != nullptr)
    std::memcpy(e.bytes, buffer, sizeof e.bytes);
  fake::L().lastReadBuffer = nullptr;
  return fake::Pass(c, FALSE, 0, written, Model_WriteFile, file, buffer, bytes,
                    written, overlapped);
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD bytes, LPDWORD read,
              LPOVERLAPPED overlapped) {
  const fake::Course c = fake::Begin("ReadFile", file);
  fake::At(c.slot).buffer = buffer;
  fake::At(c.slot).length = bytes;
  fake::L().lastReadBuffer = buffer;
  fake::L().lastReadLength = bytes;
  return fake::Pass(c, FALSE, 0, read, Model_ReadFile, file, buffer, bytes,
                    read, overlapped);
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  const fake::Course c = fake::Begin("WaitForSingleObject", handle);
  DWORD result;
  if (c.way == Way::Timeout) {
    // The bound passes on the virtual clock, as it would on a real one.
    if (milliseconds != INFINITE) fake::S().tick += milliseconds;
    result = WAIT_TIMEOUT;
  } else if (c.way == Way::WaitFails) {
    Model_SetLastError(ERROR_INVALID_HANDLE);
    result = WAIT_FAILED;
  } else {
    result = Model_WaitForSingleObject(handle, milliseconds);
  }
  fake::At(c.slot).value = result;
  fake::At(c.slot).ok = result == WAIT_OBJECT_0;
  return result;
}

BOOL GetOverlappedResult(HANDLE file, LPOVERLAPPED overlapped,
                         LPDWORD transferred, BOOL wait) {
  const fake::Course c = fake::Begin("GetOverlappedResult", file);
  const BOOL ok = fake::Overruled(
      c, Model_GetOverlappedResult(file, overlapped, transferred, wait));
  if (!ok) return FALSE;
  fake::Adjust(c.way, transferred);
  fake::Entry &e = fake::At(c.slot);
  e.value = transferred != nullptr ? *transferred : 0;
  const fake::Layer &l = fake::L();
  if (l.lastReadBuffer != nullptr && l.lastReadLength == kResponseBlockSize) {
    ResponseBlock response;
    std::memcpy(response.bytes, l.lastReadBuffer, sizeof response.bytes);
    e.status = DeviceStatus(response);
  }
  return ok;
}

BOOL CloseHandle(HANDLE handle) {
  const fake::Course c = fake::Begin("CloseHandle", handle);
  const fake::HandleInfo *info = fake::FindHandle(handle);
  if (fake::L().mutant == fake::Mutant::EventLeftOpen && info != nullptr &&
      info->kind == fake::HandleKind::Event)
    return TRUE;
  return fake::Overruled(c, Model_CloseHandle(handle));
}

// Sets no last error, as on Windows.
LPVOID LockResource(HGLOBAL data) {
  const fake::Course c = fake::Begin("LockResource");
  LPVOID p = c.way == Way::NullHandle ? nullptr : Model_LockResource(data);
  fake::At(c.slot).handle = p;
  if (p == nullptr) fake::Failed(c.slot, 0);
  return p;
}

BOOL QueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS status) {
  const fake::Course c = fake::Begin("QueryServiceStatus", service);
  if (fake::L().mutant == fake::Mutant::ResumeNeverStarts)
    fake::S().tick += 1000;  // the poll for a start that never comes ends
  return fake::Answer<BOOL>(c, FALSE, 0, nullptr, [&] {
    const BOOL ok = Model_QueryServiceStatus(service, status);
    if (ok && status != nullptr)
      fake::At(c.slot).value = status->dwCurrentState;
    return ok;
  });
}

BOOL QueryServiceConfigA(SC_HANDLE service, LPQUERY_SERVICE_CONFIGA config,
                         DWORD bufSize, LPDWORD bytesNeeded) {
  const fake::Course c = fake::Begin("QueryServiceConfigA", service);
  fake::At(c.slot).buffer = config;
  fake::At(c.slot).length = bufSize;
  if (c.way == Way::Insufficient && bytesNeeded != nullptr)
    *bytesNeeded = fake::ServiceConfigBytes();
  return fake::Pass(c, FALSE, 0, nullptr, Model_QueryServiceConfigA, service,
                    config, bufSize, bytesNeeded);
}

BOOL StartServiceA(SC_HANDLE service, DWORD argc, LPCSTR *argv) {
  const fake::Course c = fake::Begin("StartServiceA", service);
  if (fake::L().mutant == fake::Mutant::ResumeNeverStarts) return TRUE;
  return fake::Pass(c, FALSE, 0, nullptr, Model_StartServiceA, service, argc,
                    argv);
}

BOOL CloseServiceHandle(SC_HANDLE handle) {
  const fake::Course c = fake::Begin("CloseServiceHandle", handle);
  return fake::Overruled(c, Model_CloseServiceHandle(handle));
}

DWORD GetCurrentProcessId() {
  const fake::Course c = fake::Begin("GetCurrentProcessId");
  return Model_GetCurrentProcessId();
}
