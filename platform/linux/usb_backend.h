// Still-image devices on Linux, reached through libusb. The Windows calls of
// devices.cpp come here: a device name picks a candidate, the identity is
// read from the descriptor that the kernel already holds, and the first
// transfer opens, claims and then moves data on the device's bulk pipes.
#pragma once

#include <cstdint>

#include "platform/win32.h"

namespace linux_usb {

struct Device;

// The device behind "\\.\usbscanN", taken but not opened; null with the
// last error set when there is none.
Device *Acquire(const char *name);
// Gives the device back, releasing whatever the transfers claimed.
void Release(Device *device);

// Vendor, product and release from the device descriptor; language 0.
void Identify(Device *device, DEVICE_DESCRIPTOR *descriptor);

// One synchronous bulk transfer of `count` bytes on the first bulk OUT
// (write) or first bulk IN (read) endpoint, bounded in time as a whole by
// TransferTimeoutMs. True with the bytes moved in *moved (fewer than
// `count` when the device ended it with a short packet); false with the
// last error set and *moved what really went out. A write goes out from
// the caller's buffer as a stream of chunks (bulk_stream.h).
bool Write(Device *device, const void *data, DWORD count, DWORD *moved);
bool Read(Device *device, void *data, DWORD count, DWORD *moved);

}  // namespace linux_usb
