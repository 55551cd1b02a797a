// The run's record of --log: a file that each run appends to, one whole
// line per write. It is fed, line by line, by the diagnostic log's writer
// and by standard output; it formats nothing of theirs but the standard
// output's prefix. Off unless Open succeeded: every call then returns at
// once.
#pragma once

#include <cstddef>

namespace runlog {

// Opens `path` for appending (created when missing, never truncated). On
// failure `reason` holds the system's text and the record stays off.
bool Open(const char *path, char *reason, size_t reasonSize);
bool On();

// The first line: the UTC date and time, the version and architecture, the
// computer's name and the arguments.
void Begin(int argc, char **argv);

// One line of the diagnostic log as its writer formatted it, line feed
// included.
void Line(const char *text, size_t length);

// Text written to standard output, code page 950 bytes: kept until its line
// ends, then written as one UTF-8 line.
void Output(const char *text, size_t length);

// The last line, the run's outcome and exit status, then the file is closed.
void End(const char *outcome, int status);

// The architecture as the log names it ("Windows x86-64", ...).
const char *Architecture();

}  // namespace runlog
