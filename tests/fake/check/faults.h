// The program-facing entry points of the fake platform. Every Windows-named
// call is counted, logged as the program saw it and handed on to the fake's
// model, unless an injected fault answers in its place (the sweep and the
// fuzzers fail the k-th call so); the invariants read the log.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/win32.h"

namespace fake {

// The ways one call can be made to fail. Which apply to which call is
// WaysFor(); a way that does not apply to a call leaves it alone.
enum class Way : uint8_t {
  None,
  Fails,         // the call fails (FALSE / null / 0), ERROR_GEN_FAILURE
  Denied,        // the call fails with ERROR_ACCESS_DENIED
  Insufficient,  // the call fails with ERROR_INSUFFICIENT_BUFFER
  Short,         // succeeds, reports one byte fewer than it moved
  Long,          // succeeds, reports one byte more
  Timeout,       // the wait times out
  WaitFails,     // the wait fails
  NullHandle,    // a null handle comes back
  Count
};

const char *WayName(Way way);

// One call as the program saw it.
struct Entry {
  const char *name;    // "WriteFile", ...
  bool ok;             // what the result told the program
  Way injected;        // Way::None unless a fault answered
  const void *handle;  // the handle passed, or returned by a create/open
  const void *buffer;  // the caller's buffer
  uint32_t length;     // its size
  uint32_t value;      // the call's number: count moved, control, start
                       // type, ms, wait result, error on failure
  uint16_t status;     // a completed read's device status (GetOverlappedResult)
  long allocations;    // the program's heap allocations so far
  uint8_t bytes[16];   // a 16-byte command's bytes (WriteFile)
};

// Forgets the log and every armed fault; the count starts again at 1.
void ResetEntries();
const std::vector<Entry> &Entries();

// Makes call number `index` (1 = the first since the reset) fail as `way`.
// Several may be armed at once.
void Arm(long index, Way way);

// The ways that apply to the named call, in a fixed order.
const std::vector<Way> &WaysFor(const char *name);

// A deliberately broken program, imitated at its boundary: the entry points
// change what the program asked for before the model sees it. Only the
// tests of the invariants use these.
enum class Mutant : uint8_t {
  None,
  ResumeNeverStarts,  // StartServiceA claims success, nothing starts
  EventLeftOpen,      // closing a completion event is skipped
  BulkWriteShort,     // the bulk write asks for one byte fewer
};
void SetMutant(Mutant mutant);
Mutant MutantFromName(const char *name);  // "resume-never-starts", ...

}  // namespace fake
