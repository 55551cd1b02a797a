// Console control events of the Linux stand-in: SIGINT is Ctrl+C; SIGTERM
// (the system or a user asking the process to end) and SIGHUP (its terminal
// gone) are delivered as Ctrl+Break. There is no service to give back and no
// grace period after which the process is ended, so none of them is treated
// as a close, logoff or shutdown. A reader that has gone from standard
// output or standard error (SIGPIPE) is ignored: as on Windows, the write
// fails and its text is dropped, and the update goes on to its verdict.
#include <atomic>
#include <cerrno>
#include <csignal>

#include "platform/signals_blocked.h"
#include "platform/win32.h"

namespace {

std::atomic<PHANDLER_ROUTINE> g_routine{nullptr};
static_assert(std::atomic<PHANDLER_ROUTINE>::is_always_lock_free,
              "read inside a signal handler");

void OnSignal(int signo) {
  const int saved = errno;
  PHANDLER_ROUTINE routine = g_routine.load();
  if (routine != nullptr)
    routine(signo == SIGINT ? CTRL_C_EVENT : CTRL_BREAK_EVENT);
  errno = saved;
}

}  // namespace

// One routine at a time, which is all scanfw registers.
BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE routine, BOOL add) {
  if (routine == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (add) {
    g_routine.store(routine);
  } else if (g_routine.load() == routine) {
    g_routine.store(nullptr);
  }
  std::signal(SIGPIPE, SIG_IGN);
  struct sigaction action = {};
  action.sa_handler = add ? OnSignal : SIG_DFL;
  sigemptyset(&action.sa_mask);
  // Requests on the device go on where a signal interrupted them.
  action.sa_flags = SA_RESTART;
  for (int signo : kConsoleSignals) {
    if (sigaction(signo, &action, nullptr) != 0) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
  }
  return TRUE;
}
