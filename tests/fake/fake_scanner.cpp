// The simulated scanner: still-image devices behind \\.\usbscanN, the
// completion events of their transfers, and the record of every call.
//
// A request on the fake, as on a synchronous usbscan handle, has finished
// when its call returns: the byte count is in the count argument and in the
// OVERLAPPED record (Internal = status, InternalHigh = count), and the
// record's event is signalled. A fault changes exactly one of those steps.
#include "tests/fake/fake_scanner.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "tests/fake/fake_image.h"
#include "tests/fake/fake_service.h"

namespace fake {
namespace {

const uint32_t kStatusUnsuccessful = 0xC0000001u;  // an NTSTATUS failure
const size_t kCommandCopyLimit = 64;

enum class WaitFault { None, Timeout, Fails };

struct EventState {
  bool manualReset = false;
  bool signalled = false;
  WaitFault fault = WaitFault::None;  // for the next wait only
};

// A device as attached: its configuration, the same as a scenario record
// for the scanner model, and what it received.
struct Slot {
  FakeDevice config;
  scn_record record;
  scn_scanner model;
  std::vector<Received> received;
};

struct ScannerState {
  std::map<int, Slot> slots;
  std::map<const void *, EventState> events;
  bool eventCreationFails = false;
  const void *crcOf = nullptr;  // the image whose CRC-32 is imageCrc
  uint32_t crcLength = 0, imageCrc = 0;
};

ScannerState &Scanner() {
  static ScannerState state;
  return state;
}

std::string Dec(uint64_t value) { return std::to_string(value); }

std::string OverlappedDetail(const OVERLAPPED *overlapped) {
  if (overlapped == nullptr) return " overlapped=0x0";
  return " overlapped=" + Hex(overlapped) +
         " event=" + Hex(overlapped->hEvent) +
         " offset=" + Dec(overlapped->Offset) +
         " offsetHigh=" + Dec(overlapped->OffsetHigh) +
         " internal=" + Hex(overlapped->Internal) +
         " internalHigh=" + Dec(overlapped->InternalHigh);
}

// The model's view of the configuration as it stands now (tests change a
// device after attaching it) and of the image a bulk write must carry.
void Sync(Slot *slot) {
  const FakeDevice &d = slot->config;
  scn_record &r = slot->record;
  r.device_count = 1;
  r.devices[0] = scn_device{static_cast<uint16_t>(d.index),
                            d.vendor,
                            d.product,
                            d.release,
                            d.language,
                            d.descriptorFails,
                            static_cast<uint8_t>(d.descriptorBytes),
                            0,
                            0,
                            0,
                            0,
                            0};
  r.readiness_count = static_cast<uint32_t>(
      std::min<size_t>(d.readiness.size(), SCN_MAX_ANSWERS));
  std::copy_n(d.readiness.begin(), r.readiness_count, r.readiness);
  r.burn_count =
      static_cast<uint32_t>(std::min<size_t>(d.burn.size(), SCN_MAX_ANSWERS));
  std::copy_n(d.burn.begin(), r.burn_count, r.burn);
  if (r.readiness_count == 0) r.readiness[r.readiness_count++] = 0;
  if (r.burn_count == 0) r.burn[r.burn_count++] = 0;
  r.download = d.download;
  r.burn_time_ms = d.burnTimeMs;
  r.fault_count =
      static_cast<uint32_t>(std::min<size_t>(d.faults.size(), SCN_MAX_FAULTS));
  for (uint32_t i = 0; i < r.fault_count; ++i) {
    const Fault &f = d.faults[i];
    r.faults[i] = scn_fault{
        static_cast<uint8_t>(f.phase), static_cast<uint8_t>(f.stage),
        static_cast<uint8_t>(f.kind), 0, static_cast<uint32_t>(f.occurrence)};
  }
  ScannerState &st = Scanner();
  const FakeImage &image = Image();
  if (st.crcOf != image.data || st.crcLength != image.length) {
    st.crcOf = image.data;
    st.crcLength = image.length;
    st.imageCrc = image.data ? scn_crc32(0, image.data, image.length) : 0;
  }
  slot->model.image_length = image.length;
  slot->model.image_crc = st.imageCrc;
}

// The attached device behind an open device handle, or nullptr.
Slot *OpenSlot(const void *handle) {
  HandleInfo *info = FindHandle(handle);
  if (info == nullptr || !info->open || info->kind != HandleKind::Device) {
    return nullptr;
  }
  auto found = Scanner().slots.find(info->tag);
  if (found == Scanner().slots.end()) return nullptr;
  Sync(&found->second);
  return &found->second;
}

EventState *OpenEvent(const void *handle) {
  HandleInfo *info = FindHandle(handle);
  if (info == nullptr || !info->open || info->kind != HandleKind::Event) {
    return nullptr;
  }
  auto found = Scanner().events.find(handle);
  return found == Scanner().events.end() ? nullptr : &found->second;
}

// A request call begins: it takes its virtual time, and the record's event
// is reset as the system resets it at the start of an I/O.
void BeginRequest(const Slot &slot, const OVERLAPPED *overlapped) {
  S().tick += slot.config.requestMs;
  if (overlapped == nullptr) return;
  if (EventState *event = OpenEvent(overlapped->hEvent)) {
    event->signalled = false;
    event->fault = WaitFault::None;
  }
}

// A request call that was accepted finishes: count, record, event.
void FinishRequest(const scn_outcome &o, LPDWORD count,
                   OVERLAPPED *overlapped) {
  if (count != nullptr) *count = o.count;
  if (overlapped == nullptr) return;
  overlapped->Internal =
      o.fault == SCN_FAULT_OVERLAPPED ? kStatusUnsuccessful : 0;
  overlapped->InternalHigh = o.count;
  EventState *event = OpenEvent(overlapped->hEvent);
  if (event == nullptr) return;
  if (o.fault == SCN_FAULT_TIMEOUT) {
    event->fault = WaitFault::Timeout;  // never signalled
  } else if (o.fault == SCN_FAULT_WAITFAIL) {
    event->signalled = true;
    event->fault = WaitFault::Fails;
  } else {
    event->signalled = true;
  }
}

// A write of a command keeps its bytes in the record.
void RecordTransfer(const char *name, HANDLE file, const void *buffer,
                    DWORD bytes, LPDWORD count, const OVERLAPPED *overlapped,
                    bool keepBytes) {
  std::vector<uint8_t> copy;
  if (keepBytes && buffer != nullptr && bytes <= kCommandCopyLimit) {
    const uint8_t *p = static_cast<const uint8_t *>(buffer);
    copy.assign(p, p + bytes);
  }
  Record(name,
         "handle=" + Hex(file) + " buffer=" + Hex(buffer) + " bytes=" +
             Dec(bytes) + " count=" + Hex(count) + OverlappedDetail(overlapped),
         buffer, bytes, keepBytes ? &copy : nullptr);
}

}  // namespace

void ResetScanner() {
  Bookkeeping b;
  Scanner() = ScannerState();
}

void AddDevice(const FakeDevice &device) {
  Bookkeeping b;
  Slot &slot = Scanner().slots[device.index];
  slot = Slot();
  slot.config = device;
  slot.record = scn_record();
  slot.record.magic = SCN_MAGIC;
  slot.record.bulk_fault_offset = SCN_NO_OFFSET;
  scn_scanner_init(&slot.model, &slot.record, 0, 0, 0);
  Sync(&slot);
}

FakeDevice *Device(int index) {
  auto found = Scanner().slots.find(index);
  return found == Scanner().slots.end() ? nullptr : &found->second.config;
}

const std::vector<Received> &ReceivedBy(int index) {
  static const std::vector<Received> kNothing;
  auto found = Scanner().slots.find(index);
  return found == Scanner().slots.end() ? kNothing : found->second.received;
}

int TimesOpened(int index) {
  auto found = Scanner().slots.find(index);
  return found == Scanner().slots.end() ? 0 : found->second.model.opened;
}

std::vector<scn_scanner> ScannerModels() {
  std::vector<scn_scanner> models;
  for (auto &entry : Scanner().slots) models.push_back(entry.second.model);
  return models;
}

void SetEventCreationFails(bool fails) { Scanner().eventCreationFails = fails; }

std::string Arg(const Call &call, const std::string &key) {
  const std::string &d = call.detail;
  const std::string want = key + "=";
  size_t at = 0;
  while (at < d.size()) {
    size_t end = d.find(' ', at);
    if (end == std::string::npos) end = d.size();
    if (d.compare(at, want.size(), want) == 0) {
      return d.substr(at + want.size(), end - at - want.size());
    }
    at = end + 1;
  }
  return "";
}

}  // namespace fake

using fake::Dec;
using fake::Hex;
using fake::S;

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share,
                   LPSECURITY_ATTRIBUTES security, DWORD disposition,
                   DWORD flags, HANDLE templateFile) {
  fake::Bookkeeping b;
  const std::string text = name ? name : "(null)";
  // One format, not a dozen joined strings: discovery asks for 256 names.
  char detail[160];
  std::snprintf(
      detail, sizeof detail,
      " access=0x%lx share=%lu security=0x%llx disposition=%lu "
      "flags=0x%lx template=0x%llx",
      static_cast<unsigned long>(access), static_cast<unsigned long>(share),
      static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(security)),
      static_cast<unsigned long>(disposition),
      static_cast<unsigned long>(flags),
      static_cast<unsigned long long>(
          reinterpret_cast<uintptr_t>(templateFile)));
  fake::Record("CreateFileA", "name=" + text + detail);
  if (name != nullptr) {
    for (auto &entry : fake::Scanner().slots) {
      if (text == "\\\\.\\usbscan" + std::to_string(entry.first)) {
        ++entry.second.model.opened;
        return fake::NewHandle(fake::HandleKind::Device, entry.first);
      }
    }
  }
  return fake::Fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
}

BOOL DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize,
                     LPVOID out, DWORD outSize, LPDWORD returned,
                     LPOVERLAPPED overlapped) {
  fake::Bookkeeping b;
  fake::Record("DeviceIoControl",
               "handle=" + Hex(device) + " code=" + Hex(code) + " in=" +
                   Hex(in) + " inSize=" + Dec(inSize) + " out=" + Hex(out) +
                   " outSize=" + Dec(outSize) + " returned=" + Hex(returned) +
                   " overlapped=" + Hex(overlapped),
               out, outSize);
  fake::Slot *slot = fake::OpenSlot(device);
  if (slot == nullptr) return fake::Fail(ERROR_INVALID_HANDLE, FALSE);
  if (code != IOCTL_GET_DEVICE_DESCRIPTOR)
    return fake::Fail(ERROR_INVALID_PARAMETER, FALSE);
  const int filled = scn_descriptor(&slot->model, static_cast<uint8_t *>(out),
                                    out == nullptr ? 0 : outSize);
  if (filled < 0) return fake::Fail(ERROR_GEN_FAILURE, FALSE);
  if (returned != nullptr) *returned = static_cast<DWORD>(filled);
  return TRUE;
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD bytes, LPDWORD written,
               LPOVERLAPPED overlapped) {
  fake::Bookkeeping b;
  fake::RecordTransfer("WriteFile", file, buffer, bytes, written, overlapped,
                       true);
  fake::Slot *slot = fake::OpenSlot(file);
  if (slot == nullptr) return fake::Fail(ERROR_INVALID_HANDLE, FALSE);
  fake::BeginRequest(*slot, overlapped);

  static const uint8_t kNothing[1] = {0};
  scn_outcome o;
  scn_write(&slot->model,
            buffer ? static_cast<const uint8_t *>(buffer) : kNothing,
            buffer ? bytes : 0, 0, &o);
  if (o.fault == SCN_FAULT_FAIL) return fake::Fail(ERROR_GEN_FAILURE, FALSE);
  if (buffer == nullptr) o.count = bytes;

  fake::Received item;
  item.buffer = buffer;
  item.length = bytes;
  if (o.phase == SCN_PHASE_BULK) {
    item.kind = fake::Received::Bulk;
    S().serviceAtBulkWrite = fake::DescribeService();
  } else {
    item.kind = fake::Received::Command;
    if (buffer != nullptr) {
      const uint8_t *p = static_cast<const uint8_t *>(buffer);
      item.bytes.assign(p,
                        p + std::min<size_t>(bytes, fake::kCommandCopyLimit));
    }
  }
  slot->received.push_back(item);
  fake::FinishRequest(o, written, overlapped);
  return TRUE;
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD bytes, LPDWORD read,
              LPOVERLAPPED overlapped) {
  fake::Bookkeeping b;
  fake::RecordTransfer("ReadFile", file, buffer, bytes, read, overlapped,
                       false);
  fake::Slot *slot = fake::OpenSlot(file);
  if (slot == nullptr) return fake::Fail(ERROR_INVALID_HANDLE, FALSE);
  fake::BeginRequest(*slot, overlapped);

  uint8_t response[32];
  uint8_t *into = buffer ? static_cast<uint8_t *>(buffer) : response;
  scn_outcome o;
  scn_read(&slot->model, into, buffer ? bytes : std::min<DWORD>(bytes, 32),
           S().tick, &o);
  if (o.fault == SCN_FAULT_FAIL) return fake::Fail(ERROR_GEN_FAILURE, FALSE);
  const uint32_t scripted =
      o.phase == SCN_PHASE_READINESS ? slot->record.readiness_count
      : o.phase == SCN_PHASE_BURN    ? slot->record.burn_count
                                     : UINT32_MAX;
  if (slot->model.answered[o.phase] > scripted)
    S().tick += slot->config.heldAnswerMs;
  fake::FinishRequest(o, read, overlapped);
  return TRUE;
}

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES security, BOOL manualReset,
                    BOOL initialState, LPCSTR name) {
  fake::Bookkeeping b;
  fake::Record("CreateEventA", "security=" + Hex(security) +
                                   " manualReset=" + Dec(manualReset) +
                                   " initialState=" + Dec(initialState) +
                                   " name=" + (name ? name : "(null)"));
  if (fake::Scanner().eventCreationFails)
    return fake::Fail(ERROR_NOT_ENOUGH_MEMORY, nullptr);
  HANDLE event = fake::NewHandle(fake::HandleKind::Event, 0);
  fake::EventState state;
  state.manualReset = manualReset != FALSE;
  state.signalled = initialState != FALSE;
  fake::Scanner().events[event] = state;
  return event;
}

// The fake runs one thread at a time, so that the virtual clock and the call
// log keep one writer and every run is repeatable: a new thread runs to its
// end before CreateThread returns, as a real one may while its creator is
// slow to go on. Its handle is then signalled for good.
HANDLE CreateThread(LPSECURITY_ATTRIBUTES security, SIZE_T stackSize,
                    LPTHREAD_START_ROUTINE routine, LPVOID parameter,
                    DWORD flags, LPDWORD threadId) {
  HANDLE thread = nullptr;
  {
    fake::Bookkeeping b;
    fake::Record("CreateThread", "security=" + Hex(security) + " stack=" +
                                     Dec(stackSize) + " flags=" + Dec(flags));
    thread = fake::NewHandle(fake::HandleKind::Thread, 0);
    if (threadId != nullptr) *threadId = 1;
  }
  routine(parameter);
  return thread;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  fake::Bookkeeping b;
  fake::Record("WaitForSingleObject",
               "handle=" + Hex(handle) + " ms=" + Dec(milliseconds));
  if (handle == fake::kConsoleInput) return fake::WaitForInput(milliseconds);
  const fake::HandleInfo *info = fake::FindHandle(handle);
  if (info != nullptr && info->open && info->kind == fake::HandleKind::Thread)
    return WAIT_OBJECT_0;
  fake::EventState *event = fake::OpenEvent(handle);
  if (event == nullptr) return fake::Fail(ERROR_INVALID_HANDLE, WAIT_FAILED);
  if (event->fault == fake::WaitFault::Fails) {
    event->fault = fake::WaitFault::None;
    return fake::Fail(ERROR_GEN_FAILURE, WAIT_FAILED);
  }
  if (event->signalled) {
    if (!event->manualReset) event->signalled = false;
    return WAIT_OBJECT_0;
  }
  // Nothing here will ever signal it. An unbounded wait would hang a real
  // program; the fake reports it as failed instead of hanging the test.
  if (milliseconds == INFINITE)
    return fake::Fail(ERROR_INVALID_PARAMETER, WAIT_FAILED);
  S().tick += milliseconds;
  return WAIT_TIMEOUT;
}

BOOL GetOverlappedResult(HANDLE file, LPOVERLAPPED overlapped,
                         LPDWORD transferred, BOOL wait) {
  fake::Bookkeeping b;
  fake::Record("GetOverlappedResult",
               "handle=" + Hex(file) + " overlapped=" + Hex(overlapped) +
                   " transferred=" + Hex(transferred) + " wait=" + Dec(wait));
  if (fake::OpenSlot(file) == nullptr)
    return fake::Fail(ERROR_INVALID_HANDLE, FALSE);
  if (overlapped == nullptr) return fake::Fail(ERROR_INVALID_PARAMETER, FALSE);
  if (overlapped->Internal != 0) return fake::Fail(ERROR_GEN_FAILURE, FALSE);
  if (transferred != nullptr) {
    *transferred = static_cast<DWORD>(overlapped->InternalHigh);
  }
  return TRUE;
}

BOOL CloseHandle(HANDLE handle) {
  fake::Bookkeeping b;
  fake::HandleInfo *info = fake::FindHandle(handle);
  const bool known =
      info != nullptr && (info->kind == fake::HandleKind::Device ||
                          info->kind == fake::HandleKind::Event ||
                          info->kind == fake::HandleKind::Snapshot ||
                          info->kind == fake::HandleKind::Thread);
  const char *kind = !known                                     ? "unknown"
                     : info->kind == fake::HandleKind::Device   ? "device"
                     : info->kind == fake::HandleKind::Snapshot ? "snapshot"
                     : info->kind == fake::HandleKind::Thread   ? "thread"
                                                                : "event";
  fake::Record("CloseHandle",
               "handle=" + Hex(handle) + " kind=" + std::string(kind));
  // An unknown kind is counted as a bad close by the device check.
  const fake::HandleKind as = known ? info->kind : fake::HandleKind::Device;
  if (!fake::CloseFakeHandle(handle, as))
    return fake::Fail(ERROR_INVALID_HANDLE, FALSE);
  if (as == fake::HandleKind::Event) fake::Scanner().events.erase(handle);
  return TRUE;
}
