#include "platform/linux/usb_names.h"

#include <cerrno>

namespace linux_usb {

int CandidateIndexFromName(const char *name) {
  if (name == nullptr) return -1;
  // Windows compares object names without regard to case.
  static const char kPrefix[] = "\\\\.\\usbscan";
  size_t i = 0;
  for (; kPrefix[i] != '\0'; ++i) {
    char c = name[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != kPrefix[i]) return -1;
  }
  const char *digits = name + i;
  if (digits[0] < '0' || digits[0] > '9') return -1;
  if (digits[0] == '0' && digits[1] != '\0') return -1;
  int value = 0;
  for (const char *p = digits; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return -1;
    value = value * 10 + (*p - '0');
    if (value > 99999) return -1;  // far past any bus
  }
  return value;
}

unsigned int TransferTimeoutMs(uint64_t bytes) {
  const uint64_t kMiB = 1048576u;
  const uint64_t perMiB = (bytes * 1000u + kMiB - 1) / kMiB;
  return static_cast<unsigned int>(5000u + perMiB);
}

namespace {
#define SCANFW_ERRNO_VALUE(name) name,
#define SCANFW_ERRNO_TEXT(name) #name,
const int kErrnoValues[] = {SCANFW_ERRNO_NAMES(SCANFW_ERRNO_VALUE)};
const char *const kErrnoTexts[] = {SCANFW_ERRNO_NAMES(SCANFW_ERRNO_TEXT)};
#undef SCANFW_ERRNO_VALUE
#undef SCANFW_ERRNO_TEXT
const size_t kErrnoCount = sizeof kErrnoValues / sizeof kErrnoValues[0];
}  // namespace

const char *ErrnoName(int error) {
  for (size_t i = 0; i < kErrnoCount; ++i)
    if (kErrnoValues[i] == error) return kErrnoTexts[i];
  return nullptr;
}

const char *const *ErrnoNames(const int **values, size_t *count) {
  *values = kErrnoValues;
  *count = kErrnoCount;
  return kErrnoTexts;
}

bool SamePlace(const UsbPlace &a, const UsbPlace &b) {
  if (a.bus != b.bus || a.address != b.address || a.depth != b.depth)
    return false;
  for (uint8_t i = 0; i < a.depth && i < sizeof a.ports; ++i)
    if (a.ports[i] != b.ports[i]) return false;
  return true;
}

namespace {

bool IsNumbered(const Numbering &numbering, const UsbPlace &place) {
  for (size_t n = 0; n < numbering.count; ++n)
    if (SamePlace(numbering.places[n], place)) return true;
  return false;
}

}  // namespace

void NumberAttached(Numbering *numbering, const UsbPlace *attached,
                    size_t count) {
  if (count > kMaxNumbered) count = kMaxNumbered;
  bool fresh[kMaxNumbered];
  for (size_t i = 0; i < count; ++i)
    fresh[i] = !IsNumbered(*numbering, attached[i]);
  // The newcomers, smallest key first; keys are unique among the devices
  // attached at one time.
  while (numbering->count < kMaxNumbered) {
    size_t next = count;
    for (size_t i = 0; i < count; ++i) {
      if (fresh[i] &&
          (next == count ||
           CandidateKey(attached[i].bus, attached[i].address) <
               CandidateKey(attached[next].bus, attached[next].address)))
        next = i;
    }
    if (next == count) return;
    fresh[next] = false;
    numbering->places[numbering->count++] = attached[next];
  }
}

int AttachedWithNumber(const Numbering &numbering, int number,
                       const UsbPlace *attached, size_t count) {
  if (number < 0 || static_cast<size_t>(number) >= numbering.count) return -1;
  for (size_t i = 0; i < count; ++i)
    if (SamePlace(numbering.places[number], attached[i]))
      return static_cast<int>(i);
  return -1;
}

}  // namespace linux_usb
