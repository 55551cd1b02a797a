#include "app/discovery.h"

#include <cstring>

#include "app/interrupt.h"
#include "messages/diagnostics.h"

namespace {

// What a walk does with a candidate whose identity could be read.
enum Visit {
  kVisitClose,     // close it and go on
  kVisitKeepStop,  // keep it open and end the walk there
  kVisitKeepGoOn,  // keep it open (the visitor holds it now) and go on
};
// Asked about each such candidate, in index order.
typedef Visit (*CandidateVisitor)(void *context, int index, const char *name,
                                  const DEVICE_DESCRIPTOR &descriptor,
                                  DeviceHandle device);

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
// in *cancelled.
DeviceHandle WalkCandidates(LanguageIndex language, Candidates among,
                            CandidateVisitor visit, void *context,
                            bool *cancelled) {
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
    const Visit action = visit(context, index, name, descriptor, device);
    if (action == kVisitKeepStop) {
      LogWalkEnd(absent);
      diag::Note("the scanner is the device just opened: the search ends");
      return device;
    }
    if (action == kVisitClose) CloseDevice(device);
  }
  LogWalkEnd(absent);
  return INVALID_HANDLE_VALUE;
}

Visit KeepTarget(void *context, int, const char *,
                 const DEVICE_DESCRIPTOR &descriptor, DeviceHandle) {
  if (!IsTarget(descriptor)) return kVisitClose;
  if (context != nullptr) *static_cast<int *>(context) = descriptor.usBcdDevice;
  return kVisitKeepStop;
}

Visit KeepEveryTarget(void *context, int index, const char *name,
                      const DEVICE_DESCRIPTOR &descriptor,
                      DeviceHandle device) {
  if (!IsTarget(descriptor)) return kVisitClose;
  ScannerList *list = static_cast<ScannerList *>(context);
  FoundScanner &found = list->scanners[list->count++];
  found.device = device;
  found.index = index;
  found.release = descriptor.usBcdDevice;
  FormatToBuffer(found.name, "%s", name);
  diag::Line("%s is a scanner: kept open for its update", name);
  return kVisitKeepGoOn;
}

Visit PrintIdentity(void *context, int, const char *name,
                    const DEVICE_DESCRIPTOR &descriptor, DeviceHandle) {
  PrintConsole("%s %04X:%04X %04X\n", name,
               static_cast<unsigned>(descriptor.usVendorId),
               static_cast<unsigned>(descriptor.usProductId),
               static_cast<unsigned>(descriptor.usBcdDevice));
  if (IsTarget(descriptor)) *static_cast<bool *>(context) = true;
  return kVisitClose;
}

struct CheckTally {
  int release;  // the executable's
  int scanners;
  int needing;
};

Visit PrintVerdict(void *context, int, const char *name,
                   const DEVICE_DESCRIPTOR &descriptor, DeviceHandle) {
  if (!IsTarget(descriptor)) return kVisitClose;
  CheckTally *tally = static_cast<CheckTally *>(context);
  ++tally->scanners;
  PrintConsole("%s %04X:%04X %04X ", name,
               static_cast<unsigned>(descriptor.usVendorId),
               static_cast<unsigned>(descriptor.usProductId),
               static_cast<unsigned>(descriptor.usBcdDevice));
  // Releases are compared as numbers: a scanner ahead of the image is not
  // sent back to it.
  if (descriptor.usBcdDevice == tally->release) {
    PrintConsole("current\n");
  } else if (descriptor.usBcdDevice > tally->release) {
    PrintConsole("newer\n");
  } else {
    ++tally->needing;
    PrintConsole("needs %04X\n", static_cast<unsigned>(tally->release));
  }
  return kVisitClose;
}

}  // namespace

Candidates CandidatesFor(int device) {
  if (device < 0) return Candidates{0, kCandidateCount - 1};
  return Candidates{device, device};
}

DeviceHandle Discover(LanguageIndex language) {
  return DiscoverAmong(language, CandidatesFor(-1), nullptr);
}

DeviceHandle DiscoverAmong(LanguageIndex language, Candidates among,
                           int *release) {
  bool cancelled = false;
  const DeviceHandle device =
      WalkCandidates(language, among, KeepTarget, release, &cancelled);
  if (cancelled) {
    PrintMessage(MsgUpdateCancelled, language);
  } else if (device == INVALID_HANDLE_VALUE) {
    PrintMessage(MsgDeviceNotFound, language);
  }
  return device;
}

bool DiscoverEveryScanner(LanguageIndex language, ScannerList *list) {
  list->count = 0;
  bool cancelled = false;
  WalkCandidates(language, CandidatesFor(-1), KeepEveryTarget, list,
                 &cancelled);
  if (cancelled) {
    for (int i = 0; i < list->count; ++i) CloseDevice(list->scanners[i].device);
    list->count = 0;
    PrintMessage(MsgUpdateCancelled, language);
    return false;
  }
  if (list->count == 0) PrintMessage(MsgDeviceNotFound, language);
  return true;
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
