// The one lock of the program's output.
//
// Threads that write: the main thread (and, later, one thread per scanner
// being updated) prints and logs; on Windows the console control handler runs
// on a thread of the system's own and, for a close, logoff or shutdown, gives
// the service back and logs what it does; the run's record has a writer
// thread that only takes finished lines off its queue and writes them.
//
// This lock guards, all together: the console state and what goes to
// standard output and error (messages/console.cpp), the diagnostic log's
// state and lines (messages/diagnostics.cpp), and the record's gathered
// standard output line, its queue and counters (messages/run_log.cpp). It is
// taken by the public calls of those files and never held across a wait for
// the record's file: the writer thread holds it only to take a line off the
// queue, and a file that stalls only fills the queue. Linux signal handlers
// never take it (they only set atomic words, app/interrupt.cpp).
#pragma once

#include <mutex>

namespace output {

inline std::mutex g_lock;
using Guard = std::lock_guard<std::mutex>;

}  // namespace output
