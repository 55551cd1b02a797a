// Finds the scanner among the still-image devices \\.\usbscan0..255.
#pragma once

#include <cstdint>

#include "device/transport.h"
#include "messages/messages.h"

const uint16_t kTargetVendorId = 0x3A7C;
const uint16_t kTargetProductId = 0x4E21;
const int kCandidateCount = 256;

// The first device with the target's identifiers, still open; or
// INVALID_HANDLE_VALUE after MsgDeviceNotFound has been printed, or after
// MsgUpdateCancelled when an interrupt ended the search (RunWasCancelled()
// in app/interrupt.h then tells the two apart).
DeviceHandle Discover(LanguageIndex language);

// Walks the same candidates as Discover and prints, for each device that
// opens, "\\.\usbscanN VVVV:PPPP RRRR" (vendor, product, release in hex) or
// MsgGetDescriptorError; closes every one and sends nothing. Then
// MsgDeviceFound if the target was among them, else MsgDeviceNotFound.
// Returns whether it was.
bool ListDevices(LanguageIndex language);
