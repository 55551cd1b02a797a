#include "app/interrupt.h"

#include <atomic>

#include "service/wia_control.h"

namespace {

// One word holds everything the handler and the update threads must agree
// on, so that each decision is one atomic read-modify-write and the sides
// are totally ordered: an interrupt recorded before a scanner's BeginWriting
// stops its download, one recorded after it is refused. The scanners being
// written (from the download command to the verdict) are counted in the
// high bits: --all writes several side by side.
enum : unsigned {
  kInterrupted = 1u << 0,  // any console control event has arrived
  kEnding = 1u << 1,       // close, logoff or shutdown: the handler takes over
  kMainInService = 1u << 4,  // the main thread is inside a service call
  kHandlerOwns = 1u << 5,    // the main thread must not touch the service
  kSuspended = 1u << 6,      // suspended by the main thread, not yet back
  kWritingOne = 1u << 8,     // one scanner being written
};

std::atomic<unsigned> g_state{0};
static_assert(std::atomic<unsigned>::is_always_lock_free,
              "the handler may only use a lock-free word");

// Ctrl+C and Ctrl+Break as they come, for the wait after the run, which must
// tell one during it from one the run has already answered.
std::atomic<unsigned> g_stopRequests{0};

// Set by the update threads, read by the main thread after them.
std::atomic<bool> g_cancelled{false};
std::atomic<bool> g_refusalShown{false};

// Windows ends the process about 5 s after an ending event reached the
// handler; what the handler does must fit well inside.
const DWORD kEndingBudgetMs = 4000;
const DWORD kEndingSliceMs = 50;

bool Burning(unsigned state) { return state >= kWritingOne; }

bool TimeLeft(DWORD start) {
  return static_cast<DWORD>(GetTickCount() - start) < kEndingBudgetMs;
}

// Close, logoff or shutdown, on the handler's own thread.
void GiveServiceBack() {
  const DWORD start = GetTickCount();
  g_state.fetch_or(kInterrupted | kEnding);
  // A service call the main thread has begun is let finish: two callers
  // moving one service at once could leave it disabled. After the budget
  // the handler goes ahead anyway, as waiting longer only gets the process
  // ended with the service as it is.
  while ((g_state.load() & kMainInService) != 0 && TimeLeft(start))
    Sleep(kEndingSliceMs);
  const unsigned state = g_state.fetch_or(kHandlerOwns);
  if ((state & kSuspended) == 0) return;

  CWIAControl own;
  // kInterrupted went in first, so no scanner can begin being written any
  // more: one is being written only if `state`, read since, counts it.
  if (!Burning(state)) {
    own.ResumeService();
    return;
  }
  // The scanner may be burning: nothing may talk to it now, but the service
  // comes back at the next start of the system.
  own.SetStartType(SERVICE_AUTO_START);
  while (Burning(g_state.load()) && TimeLeft(start)) Sleep(kEndingSliceMs);
  if (!Burning(g_state.load())) own.ResumeService();
}

}  // namespace

BOOL WINAPI OnConsoleControl(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      g_state.fetch_or(kInterrupted);
      g_stopRequests.fetch_add(1);
      return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      GiveServiceBack();
      return TRUE;
  }
  return FALSE;
}

void InstallInterruptHandler() {
  g_state.store(0);
  g_cancelled = false;
  g_refusalShown = false;
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

bool CancelAtSafePoint() {
  if ((g_state.load() & kInterrupted) == 0) return false;
  g_cancelled = true;
  return true;
}

bool BeginWriting() {
  unsigned state = g_state.load();
  do {
    if ((state & kInterrupted) != 0) {
      g_cancelled = true;
      return false;
    }
  } while (!g_state.compare_exchange_weak(state, state + kWritingOne));
  return true;
}

void EndWriting() { g_state.fetch_sub(kWritingOne); }

void AcknowledgeRefusedInterrupt(LanguageIndex language) {
  if ((g_state.load() & kInterrupted) == 0 || g_refusalShown.exchange(true))
    return;
  PrintMessage(MsgCannotCancel, language);
}

bool RunWasCancelled() { return g_cancelled; }

bool InterruptArrived() { return (g_state.load() & kInterrupted) != 0; }

void NoteRunCancelled() { g_cancelled = true; }

unsigned StopRequests() { return g_stopRequests.load(); }

bool BeginServiceCall() {
  unsigned state = g_state.load();
  do {
    if ((state & (kEnding | kHandlerOwns)) != 0) return false;
  } while (!g_state.compare_exchange_weak(state, state | kMainInService));
  return true;
}

void EndServiceCall() { g_state.fetch_and(~kMainInService); }

void NoteServiceSuspended() { g_state.fetch_or(kSuspended); }

void NoteServiceGivenBack() { g_state.fetch_and(~kSuspended); }
