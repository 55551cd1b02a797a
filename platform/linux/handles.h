// The handle table of the Linux stand-in: a fixed pool, so that handing out
// an event or a device costs no heap memory.
#pragma once

#include "platform/win32.h"

namespace linux_handles {

enum class Kind { Free, Event, Device, Thread };

HANDLE NewEvent(bool manualReset, bool signalled);
// Signals an event; false if the handle is no event.
bool SignalEvent(HANDLE handle);
// True if the event was signalled; an auto-reset event is reset by it.
bool ConsumeEvent(HANDLE handle);

// `release`, when given, is called with the device when its handle closes.
HANDLE NewDevice(void *device, void (*release)(void *device) = nullptr);
void *DeviceOf(HANDLE handle);

// A thread running `routine(parameter)`, started with the console's signals
// blocked (the main thread alone takes them); null when it cannot start.
HANDLE NewThread(DWORD (*routine)(void *), void *parameter);
// Waits up to `milliseconds` (INFINITE: for ever) for the thread to end.
bool WaitThread(HANDLE handle, DWORD milliseconds);
bool IsThread(HANDLE handle);

// Every call may be made from any thread: --all updates scanners side by
// side.
bool Close(HANDLE handle);

}  // namespace linux_handles
