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

size_t RankOf(uint32_t key, const uint32_t *keys, size_t count) {
  size_t rank = 0;
  for (size_t i = 0; i < count; ++i)
    if (keys[i] < key) ++rank;
  return rank;
}

}  // namespace linux_usb
