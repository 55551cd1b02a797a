// The simulated scanner: which still-image devices sit behind which
// \\.\usbscanN names, what each answers, and which request fails how.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tests/fake/fake_platform.h"
#include "tests/sim/scanner_model.h"

namespace fake {

// Which exchange of the update a request belongs to, judged from the
// command bytes the device received (bulk = the write after a download).
// The numbers are the scanner model's (tests/sim/scenario_record.h).
enum class Phase {
  Readiness = SCN_PHASE_READINESS,
  Download = SCN_PHASE_DOWNLOAD,
  Bulk = SCN_PHASE_BULK,
  Burn = SCN_PHASE_BURN
};
enum class Stage { Write = SCN_STAGE_WRITE, Read = SCN_STAGE_READ };

enum class FaultKind {
  RequestFails = SCN_FAULT_FAIL,           // WriteFile/ReadFile returns FALSE
  ShortCount = SCN_FAULT_SHORT,            // one byte fewer than asked
  LongCount = SCN_FAULT_LONG,              // one byte more than asked
  WaitTimeout = SCN_FAULT_TIMEOUT,         // the event is never signalled
  WaitFails = SCN_FAULT_WAITFAIL,          // WaitForSingleObject fails
  OverlappedFails = SCN_FAULT_OVERLAPPED,  // GetOverlappedResult fails
};

struct Fault {
  Phase phase;
  int occurrence;  // 1 = the first exchange of that phase; 0 = every one
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
  std::vector<uint16_t> burn{0};  // answers in order; the last repeats
  std::vector<Fault> faults;
  uint32_t requestMs = 0;   // virtual time each request takes
  uint32_t burnTimeMs = 0;  // answers 7 this long after the first burn query
  // Added to the clock by each readiness or burn-status read whose answer is
  // the last one again: the fuzzer reaches the 10-minute bounds in a few
  // polls instead of hundreds of thousands.
  uint32_t heldAnswerMs = 0;
};

// What one device received, in order.
struct Received {
  enum Kind { Command, Bulk } kind;
  std::vector<uint8_t> bytes;  // the 16 bytes of a command
  const void *buffer;          // where a bulk write's bytes came from
  uint32_t length;
};

// Adds the device, or replaces the one already at its index.
void AddDevice(const FakeDevice &device);
// The device at index, or nullptr where none is attached.
FakeDevice *Device(int index);
// Everything the device at index received, in order. A command's bytes are
// copied; a bulk write keeps only the caller's pointer and length. A request
// that fails outright delivers nothing and is not listed.
const std::vector<Received> &ReceivedBy(int index);
// How many times CreateFileA opened the device at index.
int TimesOpened(int index);
// The scanner model of every attached device, in the order of their indices.
std::vector<scn_scanner> ScannerModels();

// The status a device answers to a command it does not know.
const uint16_t kUnknownCommandStatus = SCN_UNKNOWN_STATUS;

// While set, CreateEventA fails (null, ERROR_NOT_ENOUGH_MEMORY).
void SetEventCreationFails(bool fails);

// One argument of a recorded call, from its detail text of space-separated
// key=value pairs; "" when the call has no such key. Handles, pointers,
// access masks and control codes read as lowercase hex with 0x (null is
// "0x0"), sizes, counts and small enumerations as decimal. The keys:
//   CreateFileA         name access share security disposition flags template
//   DeviceIoControl     handle code in inSize out outSize returned overlapped
//   WriteFile, ReadFile handle buffer bytes count overlapped event offset
//                       offsetHigh internal internalHigh (the record's fields
//                       as the call received them)
//   CreateEventA        security manualReset initialState name
//   WaitForSingleObject handle ms
//   GetOverlappedResult handle overlapped transferred wait
//   CloseHandle         handle kind (device, event or unknown)
std::string Arg(const Call &call, const std::string &key);

}  // namespace fake
