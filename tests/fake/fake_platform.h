// A scriptable stand-in for the Windows calls that scanfw makes, for tests.
// It keeps a virtual clock, a record of every call, and an account of every
// handle and block handed out, so that tests can check order, bytes and
// balance. The scanner, the service manager and the resource carrier each
// have their own header; this one holds what they share.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/win32.h"

namespace fake {

// One platform call as the program made it.
struct Call {
  std::string name;              // "WriteFile", "OpenServiceA", ...
  std::string detail;            // the arguments that matter, as text
  const void *buffer = nullptr;  // the caller's buffer, where there is one
  uint32_t length = 0;           // its size in bytes
  std::vector<uint8_t> bytes;  // what went out, for writes of 64 bytes or less
};

enum class HandleKind { Device, Event, Manager, Service, Snapshot, Thread };

struct HandleInfo {
  HandleKind kind;
  int tag;  // device index, or 0
  bool open;
};

// The standard handles GetStdHandle gives.
HANDLE const kConsoleInput = reinterpret_cast<HANDLE>(0x10);
HANDLE const kConsoleOutput = reinterpret_cast<HANDLE>(0x14);
HANDLE const kConsoleError = reinterpret_cast<HANDLE>(0x18);

// Process ids in the snapshot: the program, its parent and an Explorer that
// is not its parent.
const DWORD kOwnProcessId = 0x1234;
const DWORD kParentProcessId = 0x300;
const DWORD kOtherExplorerId = 0x400;

// One record in the console's input, there from the virtual time `tick`.
struct ConsoleInputRecord {
  uint32_t tick;
  WORD type;  // KEY_EVENT, or another kind
  BOOL keyDown;
  WORD virtualKey = 'A';
};

// Everything the fake knows; reset before each test.
struct State {
  uint16_t langId = 0x0409;
  uint32_t tick = 0;     // GetTickCount
  uint64_t sleptMs = 0;  // total of all Sleep calls
  DWORD lastError = 0;
  std::vector<Call> calls;
  std::vector<HandleInfo> handles;  // handle value = kHandleBase + 4 * slot
  int badCloses = 0;                // closes of unknown or closed handles
  // LocalAlloc accounting.
  bool failNextAlloc = false;
  int blocksAllocated = 0;
  int blocksFreed = 0;
  std::vector<void *> liveBlocks;
  // The service as DescribeService() named it when a bulk write arrived.
  std::string serviceAtBulkWrite;
  // The console control handler as SetConsoleCtrlHandler registered it.
  PHANDLER_ROUTINE ctrlHandler = nullptr;
  // SetThreadExecutionState: the thread's state now, and every request.
  EXECUTION_STATE executionState = ES_CONTINUOUS;
  std::vector<EXECUTION_STATE> executionRequests;
  // Whether standard output and standard input are consoles; what
  // WriteConsoleW wrote, as UTF-16 (and, as its code page 950 bytes, to
  // standard output, where the invariants read everything shown).
  bool consoleOut = false;
  bool consoleIn = false;
  std::u16string console;
  // The console's input, in order, and how much of it has been taken.
  std::vector<ConsoleInputRecord> input;
  size_t inputTaken = 0;
  // When not 0, a key pressed this long after the input is flushed.
  uint32_t keyAfterFlushMs = 0;
  // The parent's image name in the process snapshot; none when empty.
  std::string parentImage;
  size_t snapshotCursor = 0;
  // Called by Sleep after it has been recorded: what another thread does
  // meanwhile, for tests of the hand-over between threads.
  void (*onSleep)(DWORD milliseconds) = nullptr;
};

// Calls the registered console control handler with `event` from inside the
// occurrence-th platform call named `call` whose detail contains `detail`
// (counted from the arming), right after that call is recorded and before it
// does anything: as if the event arrived while the program was in that call.
// Fires once.
struct Interrupt {
  std::string call;    // "" = never
  std::string detail;  // "" = any
  int occurrence = 1;
  DWORD event = CTRL_C_EVENT;
};
// Several may be armed at once; each fires once.
void ArmInterrupt(const Interrupt &interrupt);
// What became of the n-th armed interrupt (a blank report when there is none).
struct InterruptReport {
  bool fired = false;
  BOOL result = FALSE;       // what the handler returned
  size_t callIndex = 0;      // the call it fired in, as an index of calls
  size_t returnedAt = 0;     // calls recorded when the handler returned
  uint32_t tick = 0;         // the clock when it fired
  std::string serviceAfter;  // DescribeService() when the handler returned
};
const InterruptReport &Fired(size_t n = 0);

State &S();

// WaitForSingleObject on the console input: signalled once the next record
// is there, the clock moved on to it; otherwise the bound passes.
DWORD WaitForInput(DWORD milliseconds);

// A model call's failure: the last error set, `result` given back.
template <typename T>
T Fail(DWORD error, T result) {
  S().lastError = error;
  return result;
}

// Clears everything: clock, records, handles, scanner, service and image.
void Reset();

void Record(const std::string &name, const std::string &detail,
            const void *buffer = nullptr, uint32_t length = 0,
            const std::vector<uint8_t> *bytes = nullptr);
// Lowercase hex with 0x, as the recorded details write numbers and handles.
std::string Hex(uintptr_t value);
std::string Hex(const void *pointer);
// The names of the recorded calls, in order.
std::vector<std::string> CallNames();
// Recorded calls with the given name.
std::vector<Call> CallsNamed(const std::string &name);

HANDLE NewHandle(HandleKind kind, int tag);
// The handle's entry, or nullptr for a value the fake never handed out.
HandleInfo *FindHandle(const void *handle);
// Marks the handle closed; false (and a bad close counted) if it was not an
// open handle of that kind.
bool CloseFakeHandle(const void *handle, HandleKind kind);
int OpenHandles(HandleKind kind);
int HandlesCreated(HandleKind kind);

// Per-area resets, each defined beside its area's fake.
void ResetScanner();
void ResetService();
void ResetImage();

// While one of these lives, allocations are not counted: the fake's own
// bookkeeping is not the program's.
struct Bookkeeping {
  Bookkeeping();
  ~Bookkeeping();
};

}  // namespace fake
