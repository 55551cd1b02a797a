// Runs a piece of the program and returns what it wrote to standard output,
// or what it allocated.
#pragma once

#include <gtest/gtest.h>

#include <cctype>
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

// "41 42 0a" -> "AB\n": every two hex digits one byte, anything else ignored.
inline std::string Hex(const char *text) {
  std::string digits, out;
  for (const char *p = text; *p; ++p)
    if (std::isxdigit(static_cast<unsigned char>(*p))) digits += *p;
  for (size_t i = 0; i + 1 < digits.size(); i += 2)
    out.push_back(
        static_cast<char>(std::stoi(digits.substr(i, 2), nullptr, 16)));
  return out;
}

// Names the rows of a parameterised test after their `name`.
struct RowName {
  template <typename Row>
  std::string operator()(const testing::TestParamInfo<Row> &info) const {
    return info.param.name;
  }
};
