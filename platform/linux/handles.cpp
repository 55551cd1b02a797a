#include "platform/linux/handles.h"

#include <cstdint>

namespace linux_handles {
namespace {

struct Entry {
  Kind kind = Kind::Free;
  bool manualReset = false;
  bool signalled = false;
  void *device = nullptr;
  void (*release)(void *device) = nullptr;
};

// Every device a run can hold open (257) and the events of its transfers.
const int kSlots = 640;
const uintptr_t kBase = 0x100;
Entry g_entries[kSlots];

HANDLE Allocate(Kind kind, Entry **entry) {
  for (int i = 0; i < kSlots; ++i) {
    if (g_entries[i].kind == Kind::Free) {
      g_entries[i] = Entry();
      g_entries[i].kind = kind;
      *entry = &g_entries[i];
      return reinterpret_cast<HANDLE>(kBase + 4 * static_cast<uintptr_t>(i));
    }
  }
  return nullptr;
}

Entry *Lookup(HANDLE handle, Kind kind) {
  uintptr_t value = reinterpret_cast<uintptr_t>(handle);
  if (value < kBase || (value - kBase) % 4 != 0) return nullptr;
  uintptr_t slot = (value - kBase) / 4;
  if (slot >= static_cast<uintptr_t>(kSlots)) return nullptr;
  Entry *entry = &g_entries[slot];
  return entry->kind == kind ? entry : nullptr;
}

}  // namespace

HANDLE NewEvent(bool manualReset, bool signalled) {
  Entry *entry = nullptr;
  HANDLE handle = Allocate(Kind::Event, &entry);
  if (handle == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  entry->manualReset = manualReset;
  entry->signalled = signalled;
  return handle;
}

bool SignalEvent(HANDLE handle) {
  Entry *entry = Lookup(handle, Kind::Event);
  if (entry == nullptr) return false;
  entry->signalled = true;
  return true;
}

bool ConsumeEvent(HANDLE handle) {
  Entry *entry = Lookup(handle, Kind::Event);
  if (entry == nullptr || !entry->signalled) return false;
  if (!entry->manualReset) entry->signalled = false;
  return true;
}

HANDLE NewDevice(void *device, void (*release)(void *device)) {
  Entry *entry = nullptr;
  HANDLE handle = Allocate(Kind::Device, &entry);
  if (handle == nullptr) return INVALID_HANDLE_VALUE;
  entry->device = device;
  entry->release = release;
  return handle;
}

void *DeviceOf(HANDLE handle) {
  Entry *entry = Lookup(handle, Kind::Device);
  return entry == nullptr ? nullptr : entry->device;
}

bool Close(HANDLE handle) {
  Entry *entry = Lookup(handle, Kind::Event);
  if (entry == nullptr) entry = Lookup(handle, Kind::Device);
  if (entry == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  Entry closed = *entry;
  *entry = Entry();
  if (closed.kind == Kind::Device && closed.release != nullptr) {
    closed.release(closed.device);
  }
  return true;
}

}  // namespace linux_handles
