// The program's entry: language, options, discovery, update.
#pragma once

#include <cstdint>

#include "messages/messages.h"

// Decimal text as the "b" option reads it: leading white space, an optional
// sign, digits up to the first non-digit; no digits give 0; values beyond
// the signed 32-bit range are clamped to its nearer limit.
int32_t ParseOptionNumber(const char *text);

// Scans argv[1..argc-1] for the options "a" and "b <number>" (only the
// second character of an argument counts) and returns the option value.
int32_t ScanOptions(int argc, char **argv, LanguageIndex language);

// The whole run; returns the process exit status, 0 on every path.
int ScanfwMain(int argc, char **argv);
