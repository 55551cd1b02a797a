// The program's entry: language, options, then an answer (help, version,
// list) or discovery and the update.
#pragma once

#include <cstdint>

#include "messages/messages.h"

// Decimal text as the "b" option reads it: leading white space, an optional
// sign, digits up to the first non-digit; no digits give 0; values beyond
// the signed 32-bit range are clamped to its nearer limit.
int32_t ParseOptionNumber(const char *text);

// What the command line asks for. Only the second character of an argument
// counts for "a" and "b <number>", and "b" takes the next argument as its
// number whatever it reads; the other options are whole arguments, matched
// exactly and case-sensitively.
struct CommandLine {
  int32_t optionValue = 0;
  int missingNumbers = 0;  // "b" options with no argument after them
  bool help = false;       // --help, -h, -? or /?
  bool version = false;    // --version
  bool list = false;       // --list
  bool exitCode = false;   // --exit-code
  bool verbose = false;    // --verbose
};

// Reads argv[1..argc-1]; prints nothing.
void ReadCommandLine(int argc, char **argv, CommandLine *line);

// Prints MsgNoFollowingArgument once per "b" without a number and returns
// the option value.
int32_t ReportOptions(const CommandLine &line, LanguageIndex language);

// Scans argv[1..argc-1] for the options "a" and "b <number>", warns as
// ReportOptions does, and returns the option value.
int32_t ScanOptions(int argc, char **argv, LanguageIndex language);

// The whole run. Help wins over everything, then --version, then --list;
// each of those opens no device for the update and ends with 0. Otherwise
// the update runs; the exit status is 0 on every path, or with --exit-code
// the run's UpdateOutcome (app/update.h).
int ScanfwMain(int argc, char **argv);
