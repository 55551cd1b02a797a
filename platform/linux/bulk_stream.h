// One bulk write on Linux as a stream of chunks straight from the caller's
// buffer, a few in flight at once, in the order of the data, within the
// memory usbfs lets a program hold in URBs (bulk_plan.h).
#pragma once

#include <libusb.h>

#include <cstdint>

namespace linux_usb {

// The endpoint a stream writes to.
struct BulkTarget {
  libusb_context *context;
  libusb_device_handle *handle;
  uint8_t endpoint;
  uint32_t maxPacket;  // the endpoint's wMaxPacketSize
  uint32_t urbBytes;   // see UrbBytesFromCapabilities
};

// Writes `count` bytes, bounded in time as a whole by TransferTimeoutMs.
// LIBUSB_SUCCESS when every chunk went out whole, or when a chunk came back
// short (the device ended the write early); else the libusb error that
// ended it. *moved is what really went out. Nothing is in flight when it
// returns.
int WriteBulkStream(const BulkTarget &target, unsigned char *data,
                    uint32_t count, uint32_t *moved);

}  // namespace linux_usb
