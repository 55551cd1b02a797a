// The program's entry: language, options, then an answer (help, version,
// list) or discovery and the update.
#pragma once

#include <cstdint>

#include "app/update.h"
#include "messages/messages.h"

// Decimal text as the "b" option reads it: leading white space, an optional
// sign, digits up to the first non-digit; no digits give 0; values beyond
// the signed 32-bit range are clamped to its nearer limit.
int32_t ParseOptionNumber(const char *text);

// Why a command line cannot be run.
enum CommandLineError {
  kLineRunnable = 0,
  kLineDeviceName,     // --device without a name it can use
  kLineLogFile,        // --log without a FILE
  kLineAllWithDevice,  // --all with --device
};

// The candidate index a --device NAME stands for: "\\.\usbscanN" in any
// letter case (no other character stands for another), or N alone, N as
// --list prints it (0 to 255, no sign, no leading zero); -1 for anything
// else.
int ParseDeviceName(const char *name);

// What the command line asks for. Only the second character of an argument
// counts for "a" and "b <number>", and "b" takes the next argument as its
// number whatever it reads; the other options are whole arguments, matched
// exactly and case-sensitively, and --device and --log take the next
// argument as theirs the same way.
struct CommandLine {
  int32_t optionValue = 0;
  int missingNumbers = 0;     // "b" options with no argument after them
  bool help = false;          // --help, -h, -? or /?
  bool version = false;       // --version
  bool list = false;          // --list
  bool exitCode = false;      // --exit-code
  bool verbose = false;       // --verbose
  bool all = false;           // --all
  bool oneAtATime = false;    // --one-at-a-time: --all in today's order
  bool check = false;         // --check
  int device = -1;            // --device: the candidate index; -1: every one
  const char *log = nullptr;  // --log FILE
  UpdatePolicy policy;        // --allow-older, --allow-reinstall
  CommandLineError error = kLineRunnable;
};

// Reads argv[1..argc-1]; prints nothing.
void ReadCommandLine(int argc, char **argv, CommandLine *line);

// Prints MsgNoFollowingArgument once per "b" without a number and returns
// the option value.
int32_t ReportOptions(const CommandLine &line, LanguageIndex language);

// Scans argv[1..argc-1] for the options "a" and "b <number>", warns as
// ReportOptions does, and returns the option value.
int32_t ScanOptions(int argc, char **argv, LanguageIndex language);

// The whole run. Help wins over everything, then a command line that cannot
// be run (its message and the usage on standard error; 0, or 7 with
// --exit-code or --check), then --version, then --list, then --check; none of
// those opens a device for the update. Otherwise the update runs, of every
// scanner with --all; the exit status is 0 on every path, or with --exit-code
// the run's UpdateOutcome as ExitCodeOf gives it (app/update.h). --log opens
// its file before anything else is done, and a file it cannot open ends the run
// the same way as a wrong command line.
int ScanfwMain(int argc, char **argv);
