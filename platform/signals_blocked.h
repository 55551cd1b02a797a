// The console control events of the Linux build arrive as signals, and only
// the main thread may take them: every other thread, whether the program
// starts it or a library starts one for it, is started through
// WithConsoleSignalsBlocked.
#pragma once

#ifndef _WIN32
#include <pthread.h>

#include <csignal>

// SIGINT is Ctrl+C; SIGTERM and SIGHUP are taken as Ctrl+Break.
inline constexpr int kConsoleSignals[] = {SIGINT, SIGTERM, SIGHUP};

// Runs `start` (which makes threads, itself or inside a library) with the
// console signals blocked in the calling thread, then gives that thread its
// own mask back. A thread inherits its creator's mask, so the new ones keep
// the signals blocked for good. A signal that comes meanwhile waits, pending,
// for the restored mask.
template <typename Start>
auto WithConsoleSignalsBlocked(Start start) -> decltype(start()) {
  // The kernel hands a process-directed signal to any thread that does not
  // block it. On another thread the handler may run after the main thread
  // has gone on to print its next line, so the refusal of an interrupt would
  // come a message late; with the signals blocked everywhere else, it runs
  // on the main thread, before the main thread goes on.
  sigset_t blocked, saved;
  sigemptyset(&blocked);
  for (int signo : kConsoleSignals) sigaddset(&blocked, signo);
  const bool masked = pthread_sigmask(SIG_BLOCK, &blocked, &saved) == 0;
  auto result = start();
  if (masked) pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  return result;
}
#endif
