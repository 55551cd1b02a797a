// The Windows-named calls the program links against. The model's own
// definitions carry the "Model_" prefix (the build renames them); these
// count, log, inject and hand on.
#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <type_traits>

#include "device/protocol.h"
#include "tests/fake/alloc_counter.h"
#include "tests/fake/check/faults.h"
#include "tests/fake/check/model_names.h"
#include "tests/fake/fake_platform.h"
#include "tests/fake/fake_service.h"

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

// A call as counted: its log entry and the fault armed for it.
struct Course {
  size_t slot;
  Way way;
};

Entry &At(size_t slot) { return L().entries[slot]; }

// Counts the call, with the handle it was given, and returns the fault armed
// for it.
Course Begin(const char *name, const void *handle = nullptr) {
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
  return Course{l.entries.size() - 1, way};
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
R Answer(Course c, R bad, DWORD error, LPDWORD count, Model model) {
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
R Pass(Course c, std::common_type_t<R> bad, DWORD error, LPDWORD count,
       R (*model)(P...), A... args) {
  return Answer<R>(c, bad, error, count, [&] { return model(args...); });
}

// A call whose failure is laid on after the model has answered: a close
// happens all the same, as a failing close frees the handle on Windows.
BOOL Overruled(Course c, BOOL ok) {
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
  static const std::map<std::string, std::vector<Way>> table = {
      {"LocalAlloc", {Way::Fails}},
      {"FormatMessageA", {Way::Fails}},
      {"CreateFileA", {Way::Fails, Way::Denied}},
      {"DeviceIoControl", {Way::Fails, Way::Short, Way::Long}},
      {"WriteFile", {Way::Fails, Way::Short, Way::Long}},
      {"ReadFile", {Way::Fails, Way::Short, Way::Long}},
      {"CreateEventA", {Way::NullHandle}},
      {"WaitForSingleObject", {Way::Timeout, Way::WaitFails}},
      {"GetOverlappedResult", {Way::Fails, Way::Short, Way::Long}},
      {"CloseHandle", {Way::Fails}},
      {"FindResourceA", {Way::NullHandle}},
      {"LoadResource", {Way::NullHandle}},
      {"LockResource", {Way::NullHandle}},
      {"SizeofResource", {Way::Fails}},
      {"OpenSCManagerA", {Way::NullHandle, Way::Denied}},
      {"OpenServiceA", {Way::NullHandle, Way::Denied}},
      {"QueryServiceStatus", {Way::Fails, Way::Denied}},
      {"QueryServiceConfigA", {Way::Fails, Way::Insufficient}},
      {"ChangeServiceConfigA", {Way::Fails, Way::Denied}},
      {"ControlService", {Way::Fails, Way::Denied}},
      {"StartServiceA", {Way::Fails, Way::Denied}},
      {"CloseServiceHandle", {Way::Fails}},
      {"GetStdHandle", {Way::NullHandle}},
      {"GetConsoleMode", {Way::Fails}},
      {"MultiByteToWideChar", {Way::Fails}},
      {"WriteConsoleW", {Way::Fails}},
      {"FlushConsoleInputBuffer", {Way::Fails}},
      {"ReadConsoleInputA", {Way::Fails}},
      {"CreateToolhelp32Snapshot", {Way::NullHandle}},
      {"Process32First", {Way::Fails}},
      {"Process32Next", {Way::Fails}},
  };
  static const std::vector<Way> none;
  auto it = table.find(name);
  return it == table.end() ? none : it->second;
}

}  // namespace fake

using fake::Way;

LANGID GetUserDefaultLangID() {
  fake::Begin("GetUserDefaultLangID");
  return Model_GetUserDefaultLangID();
}

DWORD GetLastError() {
  const fake::Course c = fake::Begin("GetLastError");
  return fake::At(c.slot).value = Model_GetLastError();
}

void SetLastError(DWORD error) {
  fake::Begin("SetLastError");
  Model_SetLastError(error);
}

DWORD GetTickCount() {
  const fake::Course c = fake::Begin("GetTickCount");
  return fake::At(c.slot).value = Model_GetTickCount();
}

DWORD FormatMessageA(DWORD flags, LPCVOID source, DWORD messageId,
                     DWORD languageId, LPSTR buffer, DWORD size, void *args) {
  return fake::Pass(fake::Begin("FormatMessageA"), 0u, 0, nullptr,
                    Model_FormatMessageA, flags, source, messageId, languageId,
                    buffer, size, args);
}

void Sleep(DWORD milliseconds) {
  const fake::Course c = fake::Begin("Sleep");
  fake::At(c.slot).value = milliseconds;
  Model_Sleep(milliseconds);
}

HLOCAL LocalAlloc(UINT flags, SIZE_T bytes) {
  const fake::Course c = fake::Begin("LocalAlloc");
  fake::At(c.slot).length = static_cast<uint32_t>(bytes);
  return fake::Pass(c, nullptr, ERROR_NOT_ENOUGH_MEMORY, nullptr,
                    Model_LocalAlloc, flags, bytes);
}

HLOCAL LocalFree(HLOCAL block) {
  const fake::Course c = fake::Begin("LocalFree", block);
  HLOCAL result = Model_LocalFree(block);
  if (result != nullptr) fake::Failed(c.slot, 0);
  return result;
}

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share,
                   LPSECURITY_ATTRIBUTES security, DWORD disposition,
                   DWORD flags, HANDLE templateFile) {
  return fake::Pass(fake::Begin("CreateFileA"), INVALID_HANDLE_VALUE, 0,
                    nullptr, Model_CreateFileA, name, access, share, security,
                    disposition, flags, templateFile);
}

BOOL DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize,
                     LPVOID out, DWORD outSize, LPDWORD returned,
                     LPOVERLAPPED overlapped) {
  return fake::Pass(fake::Begin("DeviceIoControl", device), FALSE, 0, returned,
                    Model_DeviceIoControl, device, code, in, inSize, out,
                    outSize, returned, overlapped);
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

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES security, BOOL manualReset,
                    BOOL initialState, LPCSTR name) {
  return fake::Pass(fake::Begin("CreateEventA"), nullptr,
                    ERROR_NOT_ENOUGH_MEMORY, nullptr, Model_CreateEventA,
                    security, manualReset, initialState, name);
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

HRSRC FindResourceA(HMODULE module, LPCSTR name, LPCSTR type) {
  return fake::Pass(fake::Begin("FindResourceA"), nullptr,
                    ERROR_RESOURCE_TYPE_NOT_FOUND, nullptr, Model_FindResourceA,
                    module, name, type);
}

HGLOBAL LoadResource(HMODULE module, HRSRC resource) {
  return fake::Pass(fake::Begin("LoadResource"), nullptr, 0, nullptr,
                    Model_LoadResource, module, resource);
}

// Sets no last error, as on Windows.
LPVOID LockResource(HGLOBAL data) {
  const fake::Course c = fake::Begin("LockResource");
  LPVOID p = c.way == Way::NullHandle ? nullptr : Model_LockResource(data);
  fake::At(c.slot).handle = p;
  if (p == nullptr) fake::Failed(c.slot, 0);
  return p;
}

DWORD SizeofResource(HMODULE module, HRSRC resource) {
  return fake::Pass(fake::Begin("SizeofResource"), 0, 0, nullptr,
                    Model_SizeofResource, module, resource);
}

SC_HANDLE OpenSCManagerA(LPCSTR machine, LPCSTR database, DWORD access) {
  return fake::Pass(fake::Begin("OpenSCManagerA"), nullptr, 0, nullptr,
                    Model_OpenSCManagerA, machine, database, access);
}

SC_HANDLE OpenServiceA(SC_HANDLE manager, LPCSTR name, DWORD access) {
  return fake::Pass(fake::Begin("OpenServiceA"), nullptr, 0, nullptr,
                    Model_OpenServiceA, manager, name, access);
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

BOOL ChangeServiceConfigA(SC_HANDLE service, DWORD serviceType, DWORD startType,
                          DWORD errorControl, LPCSTR binaryPathName,
                          LPCSTR loadOrderGroup, LPDWORD tagId,
                          LPCSTR dependencies, LPCSTR serviceStartName,
                          LPCSTR password, LPCSTR displayName) {
  const fake::Course c = fake::Begin("ChangeServiceConfigA", service);
  fake::At(c.slot).length = startType;
  return fake::Pass(c, FALSE, 0, nullptr, Model_ChangeServiceConfigA, service,
                    serviceType, startType, errorControl, binaryPathName,
                    loadOrderGroup, tagId, dependencies, serviceStartName,
                    password, displayName);
}

BOOL ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status) {
  const fake::Course c = fake::Begin("ControlService", service);
  fake::At(c.slot).length = control;
  return fake::Pass(c, FALSE, 0, nullptr, Model_ControlService, service,
                    control, status);
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

HANDLE GetStdHandle(DWORD which) {
  return fake::Pass(fake::Begin("GetStdHandle"), INVALID_HANDLE_VALUE, 0,
                    nullptr, Model_GetStdHandle, which);
}

BOOL GetConsoleMode(HANDLE console, LPDWORD mode) {
  return fake::Pass(fake::Begin("GetConsoleMode", console), FALSE, 0, nullptr,
                    Model_GetConsoleMode, console, mode);
}

int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR text, int bytes,
                        LPWSTR wide, int wideChars) {
  const fake::Course c = fake::Begin("MultiByteToWideChar");
  fake::At(c.slot).buffer = text;
  fake::At(c.slot).length = static_cast<uint32_t>(bytes);
  return fake::Pass(c, 0, ERROR_NO_UNICODE_TRANSLATION, nullptr,
                    Model_MultiByteToWideChar, codePage, flags, text, bytes,
                    wide, wideChars);
}

BOOL WriteConsoleW(HANDLE console, const void *text, DWORD chars,
                   LPDWORD written, LPVOID reserved) {
  const fake::Course c = fake::Begin("WriteConsoleW", console);
  fake::At(c.slot).buffer = text;
  fake::At(c.slot).length = chars;
  return fake::Pass(c, FALSE, 0, written, Model_WriteConsoleW, console, text,
                    chars, written, reserved);
}

BOOL FlushConsoleInputBuffer(HANDLE console) {
  return fake::Pass(fake::Begin("FlushConsoleInputBuffer", console), FALSE, 0,
                    nullptr, Model_FlushConsoleInputBuffer, console);
}

BOOL ReadConsoleInputA(HANDLE console, PINPUT_RECORD records, DWORD count,
                       LPDWORD read) {
  return fake::Pass(fake::Begin("ReadConsoleInputA", console), FALSE, 0, read,
                    Model_ReadConsoleInputA, console, records, count, read);
}

DWORD GetCurrentProcessId() {
  fake::Begin("GetCurrentProcessId");
  return Model_GetCurrentProcessId();
}

HANDLE CreateToolhelp32Snapshot(DWORD flags, DWORD processId) {
  return fake::Pass(fake::Begin("CreateToolhelp32Snapshot"),
                    INVALID_HANDLE_VALUE, 0, nullptr,
                    Model_CreateToolhelp32Snapshot, flags, processId);
}

BOOL Process32First(HANDLE snapshot, LPPROCESSENTRY32 entry) {
  return fake::Pass(fake::Begin("Process32First", snapshot), FALSE, 0, nullptr,
                    Model_Process32First, snapshot, entry);
}

BOOL Process32Next(HANDLE snapshot, LPPROCESSENTRY32 entry) {
  return fake::Pass(fake::Begin("Process32Next", snapshot), FALSE, 0, nullptr,
                    Model_Process32Next, snapshot, entry);
}
