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

// The one walk over \\.\usbscan0..255 that discovery and the listing share:
// a device that opens has its identity read, or MsgGetDescriptorError
// printed; every device not kept is closed before the next is opened. An
// interrupt ends the walk as if there were nothing more to find, and says so
// in *cancelled.
DeviceHandle WalkCandidates(LanguageIndex language, CandidateVisitor visit,
                            void *context, bool *cancelled) {
  char name[kFormatBufferSize];
  std::memset(name, 0, sizeof(name));
  *cancelled = false;
  int absent = 0;  // names with nothing behind them, for the log
  for (int index = 0; index < kCandidateCount; ++index) {
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

}  // namespace

DeviceHandle Discover(LanguageIndex language) {
  bool cancelled = false;
  const DeviceHandle device =
      WalkCandidates(language, KeepTarget, nullptr, &cancelled);
  if (cancelled) {
    PrintMessage(MsgUpdateCancelled, language);
  } else if (device == INVALID_HANDLE_VALUE) {
    PrintMessage(MsgDeviceNotFound, language);
  }
  return device;
}

bool ListDevices(LanguageIndex language) {
  bool targetSeen = false;
  bool cancelled = false;
  WalkCandidates(language, PrintIdentity, &targetSeen, &cancelled);
  if (cancelled) {
    PrintMessage(MsgUpdateCancelled, language);
    return false;
  }
  PrintMessage(targetSeen ? MsgDeviceFound : MsgDeviceNotFound, language);
  return targetSeen;
}
