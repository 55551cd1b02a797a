#include "app/discovery.h"

#include <cstring>

#include "app/interrupt.h"

DeviceHandle Discover(LanguageIndex language) {
  char name[kFormatBufferSize];
  std::memset(name, 0, sizeof(name));
  for (int index = 0; index < kCandidateCount; ++index) {
    // An interrupt ends the search as if there were nothing to find.
    if (CancelAtSafePoint()) {
      PrintMessage(MsgUpdateCancelled, language);
      return INVALID_HANDLE_VALUE;
    }
    FormatToBuffer(name, "\\\\.\\usbscan%d", index);
    DeviceHandle device = OpenDevice(name);
    // Most indices have no device behind them: skipped without a word.
    if (device == INVALID_HANDLE_VALUE) continue;
    DEVICE_DESCRIPTOR descriptor = {};
    if (!QueryDeviceDescriptor(device, &descriptor)) {
      PrintMessage(MsgGetDescriptorError, language);
      CloseDevice(device);
      continue;
    }
    // Only the two identifiers decide; the returned byte count, release and
    // language are not looked at.
    if (descriptor.usVendorId == kTargetVendorId &&
        descriptor.usProductId == kTargetProductId) {
      return device;
    }
    CloseDevice(device);
  }
  PrintMessage(MsgDeviceNotFound, language);
  return INVALID_HANDLE_VALUE;
}
