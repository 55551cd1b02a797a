// Finds the scanner among the still-image devices \\.\usbscan0..255.
#pragma once

#include <cstdint>

#include "device/transport.h"
#include "messages/messages.h"

const uint16_t kTargetVendorId = 0x3A7C;
const uint16_t kTargetProductId = 0x4E21;
const int kCandidateCount = 256;

// The candidate indices a search walks, first to last inclusive.
struct Candidates {
  int first;
  int last;
};
// Every candidate for -1, else only that index (--device).
Candidates CandidatesFor(int device);

// The first device with the target's identifiers, still open; or
// INVALID_HANDLE_VALUE after MsgDeviceNotFound has been printed, or after
// MsgUpdateCancelled when an interrupt ended the search (RunWasCancelled()
// in app/interrupt.h then tells the two apart).
DeviceHandle Discover(LanguageIndex language);
// The same among the candidates given; *index (when not null) gets the
// found device's index. Without `reportNone` a search that finds nothing
// prints nothing.
DeviceHandle DiscoverAmong(LanguageIndex language, Candidates among,
                           bool reportNone, int *index);

// --check: walks the candidates as ListDevices does and prints, for each
// scanner among them, "\\.\usbscanN VVVV:PPPP RRRR " and "current" when
// RRRR is `release`, else "needs " and `release` in hex; MsgDeviceNotFound
// when there is none. Returns 0 when every scanner is current, 1 when there
// is none, 8 when one needs the firmware, 6 when an interrupt ended it.
int CheckScanners(LanguageIndex language, int device, int release);

// Walks the same candidates as Discover and prints, for each device that
// opens, "\\.\usbscanN VVVV:PPPP RRRR" (vendor, product, release in hex) or
// MsgGetDescriptorError; closes every one and sends nothing. Then
// MsgDeviceFound if the target was among them, else MsgDeviceNotFound.
// Returns whether it was.
bool ListDevices(LanguageIndex language);
