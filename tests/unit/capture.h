// Runs a piece of the program and returns what it wrote to standard output.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

template <typename F>
std::string CaptureOutput(F body) {
  std::fflush(stdout);
  testing::internal::CaptureStdout();
  body();
  std::fflush(stdout);
  return testing::internal::GetCapturedStdout();
}

// "41 42 0a" -> "AB\n"
inline std::string Hex(const char *text) {
  std::string out;
  unsigned value = 0;
  int digits = 0;
  for (const char *p = text; *p; ++p) {
    char c = *p;
    int d = (c >= '0' && c <= '9')   ? c - '0'
            : (c >= 'a' && c <= 'f') ? c - 'a' + 10
            : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                     : -1;
    if (d < 0) continue;
    value = value * 16 + static_cast<unsigned>(d);
    if (++digits == 2) {
      out.push_back(static_cast<char>(value));
      value = 0;
      digits = 0;
    }
  }
  return out;
}
