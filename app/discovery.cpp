#include "app/discovery.h"

#include <cstring>

#include "app/interrupt.h"
#include "messages/diagnostics.h"

namespace {

// Asked about each candidate whose identity could be read, in index order:
// true keeps the device open and ends the walk there.
typedef bool (*CandidateVisitor)(void *context, const char *name,
                                 const DEVICE_DESCRIPTOR &descriptor);

bool IsTarget(const DEVICE_DESCRIPTOR &descriptor) {
  // Only the two identifiers decide; the returned byte count, release and
  // language are not looked at.
  return descriptor.usVendorId == kTargetVendorId &&
         descriptor.usProductId == kTargetProductId;
}

void LogWalkEnd(int absent) {
  diag::Line(
      "%d device names had no device behind them (CreateFileA error 2 "
      "ERROR_FILE_NOT_FOUND)",
      absent);
}

// The one walk over \\.\usbscan0..255 (or the part of it `among` names)
// that discovery, the listing and the check share:
// a device that opens has its identity read, or MsgGetDescriptorError
// printed; every device not kept is closed before the next is opened. An
// interrupt ends the walk as if there were nothing more to find, and says so
// in *cancelled. The kept device's index goes to *kept.
DeviceHandle WalkCandidates(LanguageIndex language, Candidates among,
                            CandidateVisitor visit, void *context,
                            bool *cancelled, int *kept = nullptr) {
  char name[kFormatBufferSize];
  std::memset(name, 0, sizeof(name));
  *cancelled = false;
  int absent = 0;  // names with nothing behind them, for the log
  for (int index = among.first; index <= among.last; ++index) {
    if (CancelAtSafePoint()) {
      diag::Note("the device search stops: a console control event arrived");
      *cancelled = true;
      return INVALID_HANDLE_VALUE;
    }
    FormatToBuffer(name, "\\\\.\\usbscan%d", index);
    DeviceHandle device = OpenDevice(name);
    // Most indices have no device behind them: skipped without a word,
    // and counted rather than listed in the log.
    if (device == INVALID_HANDLE_VALUE) {
      if (diag::On()) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND)
          ++absent;
        else
          diag::CallFailed("CreateFileA", error, name);
      }
      continue;
    }
    DEVICE_DESCRIPTOR descriptor = {};
    if (!QueryDeviceDescriptor(device, &descriptor)) {
      if (diag::On())
        diag::CallFailed("DeviceIoControl(IOCTL_GET_DEVICE_DESCRIPTOR)",
                         GetLastError(), name);
      PrintMessage(MsgGetDescriptorError, language);
      CloseDevice(device);
      continue;
    }
    diag::Line("%s opened: vendor %04X, product %04X, release %04X", name,
               static_cast<unsigned>(descriptor.usVendorId),
               static_cast<unsigned>(descriptor.usProductId),
               static_cast<unsigned>(descriptor.usBcdDevice));
    if (visit(context, name, descriptor)) {
      LogWalkEnd(absent);
      diag::Note("the scanner is the device just opened: the search ends");
      if (kept != nullptr) *kept = index;
      return device;
    }
    CloseDevice(device);
  }
  LogWalkEnd(absent);
  return INVALID_HANDLE_VALUE;
}

bool KeepTarget(void *, const char *, const DEVICE_DESCRIPTOR &descriptor) {
  return IsTarget(descriptor);
}

bool PrintIdentity(void *context, const char *name,
                   const DEVICE_DESCRIPTOR &descriptor) {
  PrintConsole("%s %04X:%04X %04X\n", name,
               static_cast<unsigned>(descriptor.usVendorId),
               static_cast<unsigned>(descriptor.usProductId),
               static_cast<unsigned>(descriptor.usBcdDevice));
  if (IsTarget(descriptor)) *static_cast<bool *>(context) = true;
  return false;
}

struct CheckTally {
  int release;  // the executable's
  int scanners;
  int needing;
};

bool PrintVerdict(void *context, const char *name,
                  const DEVICE_DESCRIPTOR &descriptor) {
  if (!IsTarget(descriptor)) return false;
  CheckTally *tally = static_cast<CheckTally *>(context);
  ++tally->scanners;
  PrintConsole("%s %04X:%04X %04X ", name,
               static_cast<unsigned>(descriptor.usVendorId),
               static_cast<unsigned>(descriptor.usProductId),
               static_cast<unsigned>(descriptor.usBcdDevice));
  if (descriptor.usBcdDevice == tally->release) {
    PrintConsole("current\n");
  } else {
    ++tally->needing;
    PrintConsole("needs %04X\n", static_cast<unsigned>(tally->release));
  }
  return false;
}

}  // namespace

Candidates CandidatesFor(int device) {
  if (device < 0) return Candidates{0, kCandidateCount - 1};
  return Candidates{device, device};
}

DeviceHandle Discover(LanguageIndex language) {
  return DiscoverAmong(language, CandidatesFor(-1), true, nullptr);
}

DeviceHandle DiscoverAmong(LanguageIndex language, Candidates among,
                           bool reportNone, int *index) {
  bool cancelled = false;
  const DeviceHandle device =
      WalkCandidates(language, among, KeepTarget, nullptr, &cancelled, index);
  if (cancelled) {
    PrintMessage(MsgUpdateCancelled, language);
  } else if (device == INVALID_HANDLE_VALUE && reportNone) {
    PrintMessage(MsgDeviceNotFound, language);
  }
  return device;
}

int CheckScanners(LanguageIndex language, int device, int release) {
  CheckTally tally = {release, 0, 0};
  bool cancelled = false;
  WalkCandidates(language, CandidatesFor(device), PrintVerdict, &tally,
                 &cancelled);
  if (cancelled) {
    PrintMessage(MsgUpdateCancelled, language);
    return 6;
  }
  if (tally.scanners == 0) {
    PrintMessage(MsgDeviceNotFound, language);
    return 1;
  }
  return tally.needing > 0 ? 8 : 0;
}

bool ListDevices(LanguageIndex language) {
  bool targetSeen = false;
  bool cancelled = false;
  WalkCandidates(language, CandidatesFor(-1), PrintIdentity, &targetSeen,
                 &cancelled);
  if (cancelled) {
    PrintMessage(MsgUpdateCancelled, language);
    return false;
  }
  PrintMessage(targetSeen ? MsgDeviceFound : MsgDeviceNotFound, language);
  return targetSeen;
}
