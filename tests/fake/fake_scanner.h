// The simulated scanner: which still-image devices sit behind which
// \\.\usbscanN names, what each answers, and which request fails how.
#pragma once

#include <cstdint>
#include <vector>

#include "tests/fake/fake_platform.h"

namespace fake {

// Which exchange of the update a request belongs to, judged from the
// command bytes the device received (bulk = the write after a download).
enum class Phase { Readiness, Download, Bulk, Burn };
enum class Stage { Write, Read };

enum class FaultKind {
  RequestFails,     // WriteFile/ReadFile returns FALSE
  ShortCount,       // one byte fewer than asked is reported
  LongCount,        // one byte more than asked is reported
  WaitTimeout,      // the completion event is never signalled
  WaitFails,        // WaitForSingleObject returns WAIT_FAILED
  OverlappedFails,  // GetOverlappedResult returns FALSE
};

struct Fault {
  Phase phase;
  int occurrence;  // 1 = the first exchange of that phase
  Stage stage;
  FaultKind kind;
};

struct FakeDevice {
  int index = 0;  // the N of \\.\usbscanN
  uint16_t vendor = 0x3A7C;
  uint16_t product = 0x4E21;
  uint16_t release = 0x0100;
  uint16_t language = 0;
  bool descriptorFails = false;
  uint32_t descriptorBytes = 8;  // a driver may fill fewer; the rest stay 0
  std::vector<uint16_t> readiness{0};  // answers in order; the last repeats
  uint16_t download = 0;
  std::vector<uint16_t> burn{0};       // answers in order; the last repeats
  std::vector<Fault> faults;
  uint32_t requestMs = 0;  // virtual time each request takes
};

// What one device received, in order.
struct Received {
  enum Kind { Command, Bulk } kind;
  std::vector<uint8_t> bytes;  // the 16 bytes of a command
  const void *buffer;          // where a bulk write's bytes came from
  uint32_t length;
};

void AddDevice(const FakeDevice &device);
FakeDevice *Device(int index);
// Everything the device at index received, in order.
const std::vector<Received> &ReceivedBy(int index);
// How many times CreateFileA opened the device at index.
int TimesOpened(int index);

}  // namespace fake
