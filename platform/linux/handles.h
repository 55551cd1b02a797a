// The handle table of the Linux stand-in: a fixed pool, so that handing out
// an event or a device costs no heap memory.
#pragma once

#include "platform/win32.h"

namespace linux_handles {

enum class Kind { Free, Event, Device };

HANDLE NewEvent(bool manualReset, bool signalled);
// Signals an event; false if the handle is no event.
bool SignalEvent(HANDLE handle);
// True if the event was signalled; an auto-reset event is reset by it.
bool ConsumeEvent(HANDLE handle);

// `release`, when given, is called with the device when its handle closes.
HANDLE NewDevice(void *device, void (*release)(void *device) = nullptr);
void *DeviceOf(HANDLE handle);

bool Close(HANDLE handle);

}  // namespace linux_handles
