// The pure rules of the Linux USB backend, kept apart from libusb so that
// they can be tested on their own: which device names are ours, how long a
// transfer may take, and in which order the attached devices are numbered.
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

// Devices are numbered by bus, then by address: the same numbering on
// every run while nothing is plugged or unplugged.
inline uint32_t CandidateKey(uint8_t bus, uint8_t address) {
  return (static_cast<uint32_t>(bus) << 8) | address;
}

// The position of `key` among `keys` in increasing order: how many keys are
// smaller. Keys are unique (one device per bus and address).
size_t RankOf(uint32_t key, const uint32_t *keys, size_t count);

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
