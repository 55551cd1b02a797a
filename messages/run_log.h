// The run's record of --log: a regular file that each run appends to, one
// whole line per write. It is fed, line by line, by the diagnostic log's
// writer and by standard output; it formats nothing of theirs but the
// standard output's prefix. Every line begins as syslog's do, with the UTC
// time (milliseconds), the computer's name and "scanfw[<process id>]: ".
// Off unless Open succeeded: every call then returns at once.
//
// No caller waits for the file but at two moments, each with a bound: right
// before the download command (Flush) and at the end (End). Lines go to a
// queue of fixed size that a thread of the record's own writes out; when the
// file falls so far behind that the queue is full, lines are left out and
// counted, and the count is written with the next line that fits. The
// threading is described in messages/output_lock.h.
#pragma once

#include <cstddef>

namespace runlog {

// Opens `path` for appending (a regular file, created when missing, never
// truncated) and starts the writer. On failure `reason` holds why and the
// record stays off.
bool Open(const char *path, char *reason, size_t reasonSize);
bool On();

// The first line: the version and architecture, the computer's name and the
// arguments.
void Begin(int argc, char **argv);

// One line of the diagnostic log as its writer formatted it, line feed
// included. The caller holds output::g_lock.
void Line(const char *text, size_t length);

// Text written to standard output, code page 950 bytes: kept until its line
// ends, then written as one UTF-8 line. The caller holds output::g_lock.
void Output(const char *text, size_t length);
// The scanner the standard output that follows is about, named on each of
// its lines ("stdout (\\.\usbscan1): ..."); null for none. Called, like
// Output, with the output lock held.
void SetOutputSubject(const char *subject);

// Waits, a few seconds at most, until every line given so far is in the
// file: called right before the scanner is written, so that a run killed
// later still leaves them.
void Flush();

// The last line, the run's outcome and exit status; then the writer is given
// a few seconds to finish, and left behind if the file does not take its
// lines, and the file is closed.
void End(const char *outcome, int status);

// The architecture as the log names it ("Windows x86-64", ...).
const char *Architecture();

}  // namespace runlog
