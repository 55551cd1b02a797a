// The Windows-named calls the program links against. The model's own
// definitions carry the "Model_" prefix (the build renames them); these
// count, log, inject and hand on.
#define SCANFW_PLATFORM_ENTRY 1
#include <algorithm>
#include <cstring>
#include <map>
#include <string>

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
  std::vector<const void *> events;  // completion events the program holds
};

Layer &L() {
  static Layer layer;
  return layer;
}

// Counts the call and returns the fault armed for it.
Way Begin(const char *name, size_t *slot) {
  Bookkeeping b;
  Layer &l = L();
  if (l.entries.capacity() == 0) l.entries.reserve(1 << 16);
  Entry e;
  std::memset(&e, 0, sizeof e);
  e.name = name;
  e.ok = true;
  e.allocations = alloc_counter::Seen();
  l.entries.push_back(e);
  *slot = l.entries.size() - 1;
  const long index = static_cast<long>(l.entries.size());
  Way way = Way::None;
  for (const auto &a : l.armed)
    if (a.first == index) way = a.second;
  if (way != Way::None) {
    const std::vector<Way> &ways = WaysFor(name);
    if (std::find(ways.begin(), ways.end(), way) == ways.end()) way = Way::None;
  }
  l.entries.back().injected = way;
  return way;
}

Entry &At(size_t slot) { return L().entries[slot]; }

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

bool IsEvent(const void *handle) {
  const std::vector<const void *> &ev = L().events;
  return std::find(ev.begin(), ev.end(), handle) != ev.end();
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
  l.events.clear();
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
  };
  static const std::vector<Way> none;
  auto it = table.find(name);
  return it == table.end() ? none : it->second;
}

}  // namespace fake

using fake::Way;

LANGID GetUserDefaultLangID() {
  size_t slot;
  fake::Begin("GetUserDefaultLangID", &slot);
  return Model_GetUserDefaultLangID();
}

DWORD GetLastError() {
  size_t slot;
  fake::Begin("GetLastError", &slot);
  const DWORD error = Model_GetLastError();
  fake::At(slot).value = error;
  return error;
}

void SetLastError(DWORD error) {
  size_t slot;
  fake::Begin("SetLastError", &slot);
  Model_SetLastError(error);
}

DWORD GetTickCount() {
  size_t slot;
  fake::Begin("GetTickCount", &slot);
  const DWORD tick = Model_GetTickCount();
  fake::At(slot).value = tick;
  return tick;
}

void Sleep(DWORD milliseconds) {
  size_t slot;
  fake::Begin("Sleep", &slot);
  fake::At(slot).value = milliseconds;
  Model_Sleep(milliseconds);
}

HLOCAL LocalAlloc(UINT flags, SIZE_T bytes) {
  size_t slot;
  const Way way = fake::Begin("LocalAlloc", &slot);
  fake::At(slot).length = static_cast<uint32_t>(bytes);
  if (way == Way::Fails) {
    Model_SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    fake::Failed(slot, ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  HLOCAL block = Model_LocalAlloc(flags, bytes);
  fake::At(slot).handle = block;
  if (block == nullptr) fake::Failed(slot, Model_GetLastError());
  return block;
}

HLOCAL LocalFree(HLOCAL block) {
  size_t slot;
  fake::Begin("LocalFree", &slot);
  fake::At(slot).handle = block;
  HLOCAL result = Model_LocalFree(block);
  if (result != nullptr) fake::Failed(slot, 0);
  return result;
}

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share,
                   LPSECURITY_ATTRIBUTES security, DWORD disposition,
                   DWORD flags, HANDLE templateFile) {
  size_t slot;
  const Way way = fake::Begin("CreateFileA", &slot);
  if (fake::FailingWay(way)) {
    Model_SetLastError(fake::ErrorOf(way));
    fake::Failed(slot, fake::ErrorOf(way));
    return INVALID_HANDLE_VALUE;
  }
  HANDLE h = Model_CreateFileA(name, access, share, security, disposition,
                               flags, templateFile);
  fake::At(slot).handle = h;
  if (h == INVALID_HANDLE_VALUE) fake::Failed(slot, Model_GetLastError());
  return h;
}

BOOL DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize,
                     LPVOID out, DWORD outSize, LPDWORD returned,
                     LPOVERLAPPED overlapped) {
  size_t slot;
  const Way way = fake::Begin("DeviceIoControl", &slot);
  fake::At(slot).handle = device;
  if (fake::FailingWay(way)) {
    Model_SetLastError(fake::ErrorOf(way));
    fake::Failed(slot, fake::ErrorOf(way));
    return FALSE;
  }
  BOOL ok = Model_DeviceIoControl(device, code, in, inSize, out, outSize,
                                  returned, overlapped);
  if (ok) fake::Adjust(way, returned);
  if (!ok) fake::Failed(slot, Model_GetLastError());
  return ok;
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD bytes, LPDWORD written,
               LPOVERLAPPED overlapped) {
  size_t slot;
  const Way way = fake::Begin("WriteFile", &slot);
  if (fake::L().mutant == fake::Mutant::BulkWriteShort &&
      bytes != kCommandBlockSize && bytes > 0)
    --bytes;
  fake::Entry &e = fake::At(slot);
  e.handle = file;
  e.buffer = buffer;
  e.length = bytes;
  if (bytes == kCommandBlockSize && buffer != nullptr)
    std::memcpy(e.bytes, buffer, sizeof e.bytes);
  fake::L().lastReadBuffer = nullptr;
  if (fake::FailingWay(way)) {
    Model_SetLastError(fake::ErrorOf(way));
    fake::Failed(slot, fake::ErrorOf(way));
    return FALSE;
  }
  BOOL ok = Model_WriteFile(file, buffer, bytes, written, overlapped);
  if (ok) fake::Adjust(way, written);
  if (!ok) fake::Failed(slot, Model_GetLastError());
  return ok;
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD bytes, LPDWORD read,
              LPOVERLAPPED overlapped) {
  size_t slot;
  const Way way = fake::Begin("ReadFile", &slot);
  fake::Entry &e = fake::At(slot);
  e.handle = file;
  e.buffer = buffer;
  e.length = bytes;
  fake::L().lastReadBuffer = buffer;
  fake::L().lastReadLength = bytes;
  if (fake::FailingWay(way)) {
    Model_SetLastError(fake::ErrorOf(way));
    fake::Failed(slot, fake::ErrorOf(way));
    return FALSE;
  }
  BOOL ok = Model_ReadFile(file, buffer, bytes, read, overlapped);
  if (ok) fake::Adjust(way, read);
  if (!ok) fake::Failed(slot, Model_GetLastError());
  return ok;
}

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES security, BOOL manualReset,
                    BOOL initialState, LPCSTR name) {
  size_t slot;
  const Way way = fake::Begin("CreateEventA", &slot);
  if (way == Way::NullHandle) {
    Model_SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    fake::Failed(slot, ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  HANDLE h = Model_CreateEventA(security, manualReset, initialState, name);
  fake::At(slot).handle = h;
  if (h == nullptr) {
    fake::Failed(slot, Model_GetLastError());
  } else {
    fake::Bookkeeping b;
    fake::L().events.push_back(h);
  }
  return h;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  size_t slot;
  const Way way = fake::Begin("WaitForSingleObject", &slot);
  fake::At(slot).handle = handle;
  DWORD result;
  if (way == Way::Timeout) {
    // The bound passes on the virtual clock, as it would on a real one.
    if (milliseconds != INFINITE) fake::S().tick += milliseconds;
    result = WAIT_TIMEOUT;
  } else if (way == Way::WaitFails) {
    Model_SetLastError(ERROR_INVALID_HANDLE);
    result = WAIT_FAILED;
  } else {
    result = Model_WaitForSingleObject(handle, milliseconds);
  }
  fake::At(slot).value = result;
  fake::At(slot).ok = result == WAIT_OBJECT_0;
  return result;
}

BOOL GetOverlappedResult(HANDLE file, LPOVERLAPPED overlapped,
                         LPDWORD transferred, BOOL wait) {
  size_t slot;
  const Way way = fake::Begin("GetOverlappedResult", &slot);
  fake::At(slot).handle = file;
  BOOL ok = Model_GetOverlappedResult(file, overlapped, transferred, wait);
  if (ok && fake::FailingWay(way)) {
    Model_SetLastError(fake::ErrorOf(way));
    ok = FALSE;
  }
  if (!ok) {
    fake::Failed(slot, Model_GetLastError());
    return FALSE;
  }
  fake::Adjust(way, transferred);
  fake::Entry &e = fake::At(slot);
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
  size_t slot;
  const Way way = fake::Begin("CloseHandle", &slot);
  fake::At(slot).handle = handle;
  if (fake::L().mutant == fake::Mutant::EventLeftOpen && fake::IsEvent(handle))
    return TRUE;
  BOOL ok = Model_CloseHandle(handle);
  if (ok && way == Way::Fails) {
    // Closed all the same: a failing close frees the handle on Windows too.
    Model_SetLastError(ERROR_GEN_FAILURE);
    ok = FALSE;
  }
  if (!ok) fake::Failed(slot, Model_GetLastError());
  return ok;
}

HRSRC FindResourceA(HMODULE module, LPCSTR name, LPCSTR type) {
  size_t slot;
  const Way way = fake::Begin("FindResourceA", &slot);
  if (way == Way::NullHandle) {
    Model_SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
    fake::Failed(slot, ERROR_RESOURCE_TYPE_NOT_FOUND);
    return nullptr;
  }
  HRSRC r = Model_FindResourceA(module, name, type);
  fake::At(slot).handle = r;
  if (r == nullptr) fake::Failed(slot, Model_GetLastError());
  return r;
}

HGLOBAL LoadResource(HMODULE module, HRSRC resource) {
  size_t slot;
  const Way way = fake::Begin("LoadResource", &slot);
  if (way == Way::NullHandle) {
    Model_SetLastError(ERROR_GEN_FAILURE);
    fake::Failed(slot, ERROR_GEN_FAILURE);
    return nullptr;
  }
  HGLOBAL g = Model_LoadResource(module, resource);
  fake::At(slot).handle = g;
  if (g == nullptr) fake::Failed(slot, Model_GetLastError());
  return g;
}

LPVOID LockResource(HGLOBAL data) {
  size_t slot;
  const Way way = fake::Begin("LockResource", &slot);
  if (way == Way::NullHandle) {
    fake::Failed(slot, 0);
    return nullptr;
  }
  LPVOID p = Model_LockResource(data);
  fake::At(slot).handle = p;
  if (p == nullptr) fake::Failed(slot, 0);
  return p;
}

DWORD SizeofResource(HMODULE module, HRSRC resource) {
  size_t slot;
  const Way way = fake::Begin("SizeofResource", &slot);
  if (way == Way::Fails) {
    Model_SetLastError(ERROR_GEN_FAILURE);
    fake::Failed(slot, ERROR_GEN_FAILURE);
    return 0;
  }
  const DWORD size = Model_SizeofResource(module, resource);
  fake::At(slot).value = size;
  if (size == 0) fake::Failed(slot, Model_GetLastError());
  return size;
}

SC_HANDLE OpenSCManagerA(LPCSTR machine, LPCSTR database, DWORD access) {
  size_t slot;
  const Way way = fake::Begin("OpenSCManagerA", &slot);
  if (fake::FailingWay(way)) {
    const DWORD error =
        way == Way::NullHandle ? ERROR_GEN_FAILURE : fake::ErrorOf(way);
    Model_SetLastError(error);
    fake::Failed(slot, error);
    return nullptr;
  }
  SC_HANDLE h = Model_OpenSCManagerA(machine, database, access);
  fake::At(slot).handle = h;
  if (h == nullptr) fake::Failed(slot, Model_GetLastError());
  return h;
}

SC_HANDLE OpenServiceA(SC_HANDLE manager, LPCSTR name, DWORD access) {
  size_t slot;
  const Way way = fake::Begin("OpenServiceA", &slot);
  if (fake::FailingWay(way)) {
    const DWORD error =
        way == Way::NullHandle ? ERROR_GEN_FAILURE : fake::ErrorOf(way);
    Model_SetLastError(error);
    fake::Failed(slot, error);
    return nullptr;
  }
  SC_HANDLE h = Model_OpenServiceA(manager, name, access);
  fake::At(slot).handle = h;
  if (h == nullptr) fake::Failed(slot, Model_GetLastError());
  return h;
}

BOOL QueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS status) {
  size_t slot;
  const Way way = fake::Begin("QueryServiceStatus", &slot);
  fake::At(slot).handle = service;
  if (fake::L().mutant == fake::Mutant::ResumeNeverStarts)
    fake::S().tick += 1000;  // the poll for a start that never comes ends
  if (fake::FailingWay(way)) {
    Model_SetLastError(fake::ErrorOf(way));
    fake::Failed(slot, fake::ErrorOf(way));
    return FALSE;
  }
  BOOL ok = Model_QueryServiceStatus(service, status);
  if (!ok) fake::Failed(slot, Model_GetLastError());
  if (ok && status != nullptr) fake::At(slot).value = status->dwCurrentState;
  return ok;
}

BOOL QueryServiceConfigA(SC_HANDLE service, LPQUERY_SERVICE_CONFIGA config,
                         DWORD bufSize, LPDWORD bytesNeeded) {
  size_t slot;
  const Way way = fake::Begin("QueryServiceConfigA", &slot);
  fake::Entry &e = fake::At(slot);
  e.handle = service;
  e.buffer = config;
  e.length = bufSize;
  if (fake::FailingWay(way)) {
    if (way == Way::Insufficient && bytesNeeded != nullptr)
      *bytesNeeded = fake::ServiceConfigBytes();
    Model_SetLastError(fake::ErrorOf(way));
    fake::Failed(slot, fake::ErrorOf(way));
    return FALSE;
  }
  BOOL ok = Model_QueryServiceConfigA(service, config, bufSize, bytesNeeded);
  if (!ok) fake::Failed(slot, Model_GetLastError());
  return ok;
}

BOOL ChangeServiceConfigA(SC_HANDLE service, DWORD serviceType, DWORD startType,
                          DWORD errorControl, LPCSTR binaryPathName,
                          LPCSTR loadOrderGroup, LPDWORD tagId,
                          LPCSTR dependencies, LPCSTR serviceStartName,
                          LPCSTR password, LPCSTR displayName) {
  size_t slot;
  const Way way = fake::Begin("ChangeServiceConfigA", &slot);
  fake::At(slot).handle = service;
  if (fake::FailingWay(way)) {
    Model_SetLastError(fake::ErrorOf(way));
    fake::Failed(slot, fake::ErrorOf(way));
    fake::At(slot).length = startType;
    return FALSE;
  }
  BOOL ok = Model_ChangeServiceConfigA(service, serviceType, startType,
                                       errorControl, binaryPathName,
                                       loadOrderGroup, tagId, dependencies,
                                       serviceStartName, password, displayName);
  if (!ok) fake::Failed(slot, Model_GetLastError());
  fake::At(slot).length = startType;
  return ok;
}

BOOL ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status) {
  size_t slot;
  const Way way = fake::Begin("ControlService", &slot);
  fake::At(slot).handle = service;
  fake::At(slot).length = control;
  if (fake::FailingWay(way)) {
    Model_SetLastError(fake::ErrorOf(way));
    fake::Failed(slot, fake::ErrorOf(way));
    return FALSE;
  }
  BOOL ok = Model_ControlService(service, control, status);
  if (!ok) fake::Failed(slot, Model_GetLastError());
  return ok;
}

BOOL StartServiceA(SC_HANDLE service, DWORD argc, LPCSTR *argv) {
  size_t slot;
  const Way way = fake::Begin("StartServiceA", &slot);
  fake::At(slot).handle = service;
  if (fake::L().mutant == fake::Mutant::ResumeNeverStarts) return TRUE;
  if (fake::FailingWay(way)) {
    Model_SetLastError(fake::ErrorOf(way));
    fake::Failed(slot, fake::ErrorOf(way));
    return FALSE;
  }
  BOOL ok = Model_StartServiceA(service, argc, argv);
  if (!ok) fake::Failed(slot, Model_GetLastError());
  return ok;
}

BOOL CloseServiceHandle(SC_HANDLE handle) {
  size_t slot;
  const Way way = fake::Begin("CloseServiceHandle", &slot);
  fake::At(slot).handle = handle;
  BOOL ok = Model_CloseServiceHandle(handle);
  if (ok && way == Way::Fails) {
    Model_SetLastError(ERROR_GEN_FAILURE);
    ok = FALSE;
  }
  if (!ok) fake::Failed(slot, Model_GetLastError());
  return ok;
}
