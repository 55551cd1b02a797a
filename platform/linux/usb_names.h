// The pure rules of the Linux USB backend, kept apart from libusb so that
// they can be tested on their own: which device names are ours, how long a
// transfer may take, and which number each attached device goes by.
#pragma once

#include <cstddef>
#include <cstdint>

namespace linux_usb {

// The candidate index of a name of the form "\\.\usbscanN" (N decimal,
// without sign or leading zeros), or -1 for any other name.
int CandidateIndexFromName(const char *name);

// The time a bulk transfer of `bytes` may take before it is given up:
// 5 s plus 1 s per MiB, so that a device that stops answering cannot hang
// the program, while a 25 MiB image still has twice the time that even a
// 12 Mbit/s full-speed bus needs.
unsigned int TransferTimeoutMs(uint64_t bytes);

// Devices are ordered by bus, then by address.
inline uint32_t CandidateKey(uint8_t bus, uint8_t address) {
  return (static_cast<uint32_t>(bus) << 8) | address;
}

// Where a device is attached: its bus and address, and the ports from the
// root hub down to it. A device that leaves and comes back gets another
// address, so it is another place (a bus hands an address out again only
// after all 127).
struct UsbPlace {
  uint8_t bus;
  uint8_t address;
  uint8_t depth;     // ports used in `ports`
  uint8_t ports[7];  // USB allows seven tiers
};

bool SamePlace(const UsbPlace &a, const UsbPlace &b);

// The device numbers of one run. The first numbering gives the devices
// attached then 0..n-1 by bus and address; a device seen later gets the
// next number, and a number once given never passes to another device, so
// that an update which makes one scanner re-enumerate moves no other
// scanner's number. A device that is gone leaves its number without one.
const size_t kMaxNumbered = 512;
struct Numbering {
  size_t count;
  UsbPlace places[kMaxNumbered];  // places[N]: the device numbered N
};

// Numbers the devices of `attached` (in any order) that have no number yet,
// by bus and address among themselves; past kMaxNumbered none.
void NumberAttached(Numbering *numbering, const UsbPlace *attached,
                    size_t count);

// The position in `attached` of the device numbered `number`, or -1 when
// no device has that number or its device is no longer attached.
int AttachedWithNumber(const Numbering &numbering, int number,
                       const UsbPlace *attached, size_t count);

// The errno values a failure from the kernel can carry here (usbfs, the
// device nodes, the system bus), by their <cerrno> names.
// clang-format off
#define SCANFW_ERRNO_NAMES(X)                                                \
  X(EPERM) X(ENOENT) X(EINTR) X(EIO) X(ENXIO) X(EBADF) X(EAGAIN) X(ENOMEM)    \
  X(EACCES) X(EFAULT) X(EBUSY) X(ENODEV) X(EINVAL) X(ENFILE) X(EMFILE)        \
  X(ENOSPC) X(EPIPE) X(ERANGE) X(ENOSYS) X(ENODATA) X(ETIME) X(EPROTO)        \
  X(EOVERFLOW) X(EILSEQ) X(EOPNOTSUPP) X(ECONNRESET) X(ECONNREFUSED)          \
  X(ESHUTDOWN) X(ETIMEDOUT) X(EHOSTUNREACH) X(EALREADY) X(EINPROGRESS)        \
  X(ECANCELED) X(EREMOTEIO) X(ENOMEDIUM) X(EXDEV) X(ENOTCONN) X(ENOBUFS)
// clang-format on

// The name of an errno value ("ENOMEM"), or nullptr.
const char *ErrnoName(int error);
// The names in the table, for its tests.
const char *const *ErrnoNames(const int **values, size_t *count);

}  // namespace linux_usb
