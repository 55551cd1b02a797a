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
// The same among the candidates given; *release (when not null) gets the
// release the found device reports (bcdDevice).
DeviceHandle DiscoverAmong(LanguageIndex language, Candidates among,
                           int *release);

// A scanner found by the walk of --all, still open.
struct FoundScanner {
  DeviceHandle device;
  int index;
  int release;    // bcdDevice
  char name[32];  // "\\.\usbscanN", as the walk opened it
};
struct ScannerList {
  FoundScanner scanners[kCandidateCount];
  int count = 0;
};
// --all: one walk over every name, as Discover's, that keeps every scanner
// open in *list, in index order; what is attached later is not looked for.
// MsgDeviceNotFound when there is none. False after MsgUpdateCancelled when
// an interrupt ended the walk; every scanner is closed again then.
bool DiscoverEveryScanner(LanguageIndex language, ScannerList *list);

// --check: walks the candidates as ListDevices does and prints, for each
// scanner among them, "\\.\usbscanN VVVV:PPPP RRRR " and "current" when
// RRRR is `release`, "newer" when it is higher, else "needs " and `release`
// in hex; MsgDeviceNotFound when there is none. Returns 0 when every scanner
// is current or newer, 1 when there is none, 8 when one needs the firmware,
// 6 when an interrupt ended it.
int CheckScanners(LanguageIndex language, int device, int release);

// Walks the same candidates as Discover and prints, for each device that
// opens, "\\.\usbscanN VVVV:PPPP RRRR" (vendor, product, release in hex) or
// MsgGetDescriptorError; closes every one and sends nothing. Then
// MsgDeviceFound if the target was among them, else MsgDeviceNotFound.
// Returns whether it was.
bool ListDevices(LanguageIndex language);
