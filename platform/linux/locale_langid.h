#pragma once

#include <cstdint>

// The Windows language identifier for a POSIX locale name such as
// "zh_TW.UTF-8"; 0x0409 (English, United States) for "C", "POSIX", an empty
// or unknown name.
uint16_t LangIdFromLocaleName(const char *name);

// The locale that decides the language: LC_ALL, then LC_MESSAGES, then
// LANG, the first that is set and not empty.
uint16_t LangIdFromEnvironment();
