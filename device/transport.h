// The one place where scanfw touches the scanner: still-image devices opened
// by name, their USB identity, command exchanges and bulk writes.
#pragma once

#include <cstdint>

#include "device/protocol.h"
#include "messages/messages.h"
#include "platform/win32.h"

typedef HANDLE DeviceHandle;

const DWORD kCompletionWaitMs = 1000;

// An open device, or INVALID_HANDLE_VALUE when the name does not open.
DeviceHandle OpenDevice(const char *name);

// Fills the device's identity; true on success. Prints nothing.
bool QueryDeviceDescriptor(DeviceHandle device, DEVICE_DESCRIPTOR *descriptor);

// Writes the 16 command bytes, then reads the 32 response bytes. On failure
// prints the transport's message in `language` and returns false; the
// handle stays open.
bool ExchangeCommand(DeviceHandle device, const CommandBlock &command,
                     ResponseBlock *response, LanguageIndex language);

// Writes count bytes from data in one request, neither split nor copied;
// fails as ExchangeCommand does.
bool WriteBulkData(DeviceHandle device, const uint8_t *data, uint32_t count,
                   LanguageIndex language);

void CloseDevice(DeviceHandle device);
