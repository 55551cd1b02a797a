// Runs a piece of the program and returns what it wrote to standard output,
// or what it allocated.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <utility>

#include "tests/fake/alloc_counter.h"

template <typename F>
std::string CaptureOutput(F body) {
  std::fflush(stdout);
  testing::internal::CaptureStdout();
  body();
  std::fflush(stdout);
  return testing::internal::GetCapturedStdout();
}

// What the body returned and what it printed meanwhile; compare with Gives.
template <typename F>
auto Capture(F body) -> std::pair<decltype(body()), std::string> {
  std::pair<decltype(body()), std::string> result{};
  result.second = CaptureOutput([&] { result.first = body(); });
  return result;
}

template <typename T>
std::pair<T, std::string> Gives(T value, std::string out = "") {
  return {value, std::move(out)};
}

// The allocations the body makes.
template <typename F>
long AllocationsIn(F body) {
  alloc_counter::Start();
  body();
  return alloc_counter::Stop();
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
