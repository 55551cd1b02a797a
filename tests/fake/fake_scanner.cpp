// The simulated scanner: still-image devices behind \\.\usbscanN, the
// completion events of their transfers, and the record of every call.
//
// A request on the fake, as on a synchronous usbscan handle, has finished
// when its call returns: the byte count is in the count argument and in the
// OVERLAPPED record (Internal = status, InternalHigh = count), and the
// record's event is signalled. A fault changes exactly one of those steps.
#include "tests/fake/fake_scanner.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <string>

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

// A device as attached, and what has happened to it since.
struct Slot {
  FakeDevice config;
  std::vector<Received> received;
  int timesOpened = 0;
  int exchanges[4] = {0, 0, 0, 0};  // requests begun, by phase
  size_t readinessServed = 0;
  size_t burnServed = 0;
  bool bulkArmed = false;  // a download command arrived: next write is bulk
  bool answering = false;  // a command awaits its response
  bool answeringKnown = false;
  Phase answeringPhase = Phase::Readiness;
};

struct ScannerState {
  std::map<int, Slot> slots;
  std::map<const void *, EventState> events;
  bool eventCreationFails = false;
  uint32_t responses = 0;  // varies the junk from one response to the next
};

ScannerState &Scanner() {
  static ScannerState state;
  return state;
}

std::string Hex(uintptr_t value) {
  static const char kDigits[] = "0123456789abcdef";
  std::string digits;
  do {
    digits.insert(digits.begin(), kDigits[value & 0xF]);
    value >>= 4;
  } while (value != 0);
  return "0x" + digits;
}
std::string Hex(const void *pointer) {
  return Hex(reinterpret_cast<uintptr_t>(pointer));
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

// The attached device behind an open device handle, or nullptr.
Slot *OpenSlot(const void *handle) {
  HandleInfo *info = FindHandle(handle);
  if (info == nullptr || !info->open || info->kind != HandleKind::Device) {
    return nullptr;
  }
  auto found = Scanner().slots.find(info->tag);
  return found == Scanner().slots.end() ? nullptr : &found->second;
}

EventState *OpenEvent(const void *handle) {
  HandleInfo *info = FindHandle(handle);
  if (info == nullptr || !info->open || info->kind != HandleKind::Event) {
    return nullptr;
  }
  auto found = Scanner().events.find(handle);
  return found == Scanner().events.end() ? nullptr : &found->second;
}

bool ClassifyCommand(const void *buffer, DWORD bytes, Phase *phase) {
  if (buffer == nullptr || bytes != 16) return false;
  const uint8_t *b = static_cast<const uint8_t *>(buffer);
  if (b[4] == 0x12 && b[6] == 0x02) {
    *phase = Phase::Readiness;
  } else if (b[4] == 0x2A) {
    *phase = Phase::Download;
  } else if (b[4] == 0x12 && b[6] == 0x08) {
    *phase = Phase::Burn;
  } else {
    return false;
  }
  return true;
}

const Fault *FindFault(const Slot &slot, Phase phase, int occurrence,
                       Stage stage) {
  for (const Fault &f : slot.config.faults) {
    if (f.phase == phase && f.stage == stage &&
        (f.occurrence == occurrence || f.occurrence == 0)) {
      return &f;
    }
  }
  return nullptr;
}

uint16_t NextAnswer(const std::vector<uint16_t> &answers, size_t *served) {
  if (answers.empty()) return 0;
  size_t at = std::min(*served, answers.size() - 1);
  ++*served;
  return answers[at];
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

DWORD Adjusted(DWORD asked, const Fault *fault) {
  if (fault != nullptr && fault->kind == FaultKind::ShortCount)
    return asked - 1;
  if (fault != nullptr && fault->kind == FaultKind::LongCount) return asked + 1;
  return asked;
}

// A request call that was accepted finishes: count, record, event.
void FinishRequest(DWORD moved, LPDWORD count, OVERLAPPED *overlapped,
                   const Fault *fault) {
  if (count != nullptr) *count = moved;
  if (overlapped == nullptr) return;
  const bool queryFails =
      fault != nullptr && fault->kind == FaultKind::OverlappedFails;
  overlapped->Internal = queryFails ? kStatusUnsuccessful : 0;
  overlapped->InternalHigh = moved;
  EventState *event = OpenEvent(overlapped->hEvent);
  if (event == nullptr) return;
  if (fault != nullptr && fault->kind == FaultKind::WaitTimeout) {
    event->fault = WaitFault::Timeout;  // never signalled
  } else if (fault != nullptr && fault->kind == FaultKind::WaitFails) {
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
  Slot slot;
  slot.config = device;
  Scanner().slots[device.index] = slot;
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
  return found == Scanner().slots.end() ? 0 : found->second.timesOpened;
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
  fake::Record("CreateFileA",
               "name=" + text + " access=" + Hex(access) +
                   " share=" + Dec(share) + " security=" + Hex(security) +
                   " disposition=" + Dec(disposition) + " flags=" + Hex(flags) +
                   " template=" + Hex(templateFile));
  if (name != nullptr) {
    for (auto &entry : fake::Scanner().slots) {
      if (text == "\\\\.\\usbscan" + std::to_string(entry.first)) {
        ++entry.second.timesOpened;
        return fake::NewHandle(fake::HandleKind::Device, entry.first);
      }
    }
  }
  SetLastError(ERROR_FILE_NOT_FOUND);
  return INVALID_HANDLE_VALUE;
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
  if (slot == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (code != IOCTL_GET_DEVICE_DESCRIPTOR) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (slot->config.descriptorFails) {
    SetLastError(ERROR_GEN_FAILURE);
    return FALSE;
  }
  const fake::FakeDevice &d = slot->config;
  const uint16_t fields[4] = {d.vendor, d.product, d.release, d.language};
  uint8_t wire[8];
  for (int i = 0; i < 4; ++i) {
    wire[2 * i] = static_cast<uint8_t>(fields[i] & 0xFF);
    wire[2 * i + 1] = static_cast<uint8_t>(fields[i] >> 8);
  }
  DWORD filled = std::min<DWORD>(std::min<DWORD>(d.descriptorBytes, 8),
                                 out == nullptr ? 0 : outSize);
  if (filled > 0) std::memcpy(out, wire, filled);
  if (returned != nullptr) *returned = filled;
  return TRUE;
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD bytes, LPDWORD written,
               LPOVERLAPPED overlapped) {
  fake::Bookkeeping b;
  fake::RecordTransfer("WriteFile", file, buffer, bytes, written, overlapped,
                       true);
  fake::Slot *slot = fake::OpenSlot(file);
  if (slot == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  fake::BeginRequest(*slot, overlapped);

  const bool bulk = slot->bulkArmed;
  slot->bulkArmed = false;
  fake::Phase phase = fake::Phase::Bulk;
  const bool known = bulk || fake::ClassifyCommand(buffer, bytes, &phase);
  const fake::Fault *fault = nullptr;
  if (known) {
    int occurrence = ++slot->exchanges[static_cast<int>(phase)];
    fault = fake::FindFault(*slot, phase, occurrence, fake::Stage::Write);
  }
  if (fault != nullptr && fault->kind == fake::FaultKind::RequestFails) {
    SetLastError(ERROR_GEN_FAILURE);
    return FALSE;
  }

  fake::Received item;
  item.buffer = buffer;
  item.length = bytes;
  if (bulk) {
    item.kind = fake::Received::Bulk;
    S().serviceAtBulkWrite = fake::DescribeService();
    slot->answering = false;
  } else {
    item.kind = fake::Received::Command;
    if (buffer != nullptr) {
      const uint8_t *p = static_cast<const uint8_t *>(buffer);
      item.bytes.assign(p,
                        p + std::min<size_t>(bytes, fake::kCommandCopyLimit));
    }
    slot->answering = true;
    slot->answeringKnown = known;
    slot->answeringPhase = phase;
    slot->bulkArmed = known && phase == fake::Phase::Download;
  }
  slot->received.push_back(item);
  fake::FinishRequest(fake::Adjusted(bytes, fault), written, overlapped, fault);
  return TRUE;
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD bytes, LPDWORD read,
              LPOVERLAPPED overlapped) {
  fake::Bookkeeping b;
  fake::RecordTransfer("ReadFile", file, buffer, bytes, read, overlapped,
                       false);
  fake::Slot *slot = fake::OpenSlot(file);
  if (slot == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  fake::BeginRequest(*slot, overlapped);

  const bool known = slot->answering && slot->answeringKnown;
  const fake::Phase phase = slot->answeringPhase;
  const fake::Fault *fault = nullptr;
  if (known) {
    fault =
        fake::FindFault(*slot, phase, slot->exchanges[static_cast<int>(phase)],
                        fake::Stage::Read);
  }
  if (fault != nullptr && fault->kind == fake::FaultKind::RequestFails) {
    SetLastError(ERROR_GEN_FAILURE);
    return FALSE;
  }

  uint16_t status = fake::kUnknownCommandStatus;
  if (known && phase == fake::Phase::Readiness) {
    status = fake::NextAnswer(slot->config.readiness, &slot->readinessServed);
  } else if (known && phase == fake::Phase::Burn) {
    status = fake::NextAnswer(slot->config.burn, &slot->burnServed);
  } else if (known && phase == fake::Phase::Download) {
    status = slot->config.download;
  }
  slot->answering = false;

  // Every byte but the status is non-zero junk that changes between
  // responses, so nothing may depend on it.
  uint8_t response[32];
  const uint32_t serial = ++fake::Scanner().responses;
  for (uint32_t i = 0; i < 32; ++i) {
    response[i] = static_cast<uint8_t>(0x80 | ((i * 29 + serial * 7) & 0x7F));
  }
  response[4] = static_cast<uint8_t>(status & 0xFF);
  response[5] = static_cast<uint8_t>(status >> 8);

  const DWORD moved = fake::Adjusted(std::min<DWORD>(bytes, 32), fault);
  const DWORD filled = std::min<DWORD>(std::min<DWORD>(moved, bytes), 32);
  if (buffer != nullptr && filled > 0) std::memcpy(buffer, response, filled);
  fake::FinishRequest(moved, read, overlapped, fault);
  return TRUE;
}

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES security, BOOL manualReset,
                    BOOL initialState, LPCSTR name) {
  fake::Bookkeeping b;
  fake::Record("CreateEventA", "security=" + Hex(security) +
                                   " manualReset=" + Dec(manualReset) +
                                   " initialState=" + Dec(initialState) +
                                   " name=" + (name ? name : "(null)"));
  if (fake::Scanner().eventCreationFails) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  HANDLE event = fake::NewHandle(fake::HandleKind::Event, 0);
  fake::EventState state;
  state.manualReset = manualReset != FALSE;
  state.signalled = initialState != FALSE;
  fake::Scanner().events[event] = state;
  return event;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  fake::Bookkeeping b;
  fake::Record("WaitForSingleObject",
               "handle=" + Hex(handle) + " ms=" + Dec(milliseconds));
  fake::EventState *event = fake::OpenEvent(handle);
  if (event == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  if (event->fault == fake::WaitFault::Fails) {
    event->fault = fake::WaitFault::None;
    SetLastError(ERROR_GEN_FAILURE);
    return WAIT_FAILED;
  }
  if (event->signalled) {
    if (!event->manualReset) event->signalled = false;
    return WAIT_OBJECT_0;
  }
  // Nothing here will ever signal it. An unbounded wait would hang a real
  // program; the fake reports it as failed instead of hanging the test.
  if (milliseconds == INFINITE) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  S().tick += milliseconds;
  return WAIT_TIMEOUT;
}

BOOL GetOverlappedResult(HANDLE file, LPOVERLAPPED overlapped,
                         LPDWORD transferred, BOOL wait) {
  fake::Bookkeeping b;
  fake::Record("GetOverlappedResult",
               "handle=" + Hex(file) + " overlapped=" + Hex(overlapped) +
                   " transferred=" + Hex(transferred) + " wait=" + Dec(wait));
  if (fake::OpenSlot(file) == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (overlapped == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (overlapped->Internal != 0) {
    SetLastError(ERROR_GEN_FAILURE);
    return FALSE;
  }
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
                          info->kind == fake::HandleKind::Event);
  const char *kind = !known                                   ? "unknown"
                     : info->kind == fake::HandleKind::Device ? "device"
                                                              : "event";
  fake::Record("CloseHandle",
               "handle=" + Hex(handle) + " kind=" + std::string(kind));
  // An unknown kind is counted as a bad close by the device check.
  const fake::HandleKind as = known ? info->kind : fake::HandleKind::Device;
  if (!fake::CloseFakeHandle(handle, as)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (as == fake::HandleKind::Event) fake::Scanner().events.erase(handle);
  return TRUE;
}
