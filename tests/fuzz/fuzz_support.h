// What the three harnesses share: reading (and, for seeds, writing) the fuzz
// input, and what happens when a run breaks an invariant.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fuzz {

// Takes values from the input in order; past its end every value is 0.
class Reader {
 public:
  Reader(const uint8_t *data, size_t size) : data_(data), size_(size) {}
  static const bool kWriting = false;
  uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  void U8(uint8_t *v) { *v = Byte(); }
  void U16(uint16_t *v) { *v = static_cast<uint16_t>(Byte() | Byte() << 8); }
  void U32(uint32_t *v) {
    uint16_t lo, hi;
    U16(&lo);
    U16(&hi);
    *v = lo | static_cast<uint32_t>(hi) << 16;
  }
  void Flag(bool *v) { *v = (Byte() & 1) != 0; }
  // One of `count` choices: the byte modulo the count.
  template <typename T>
  void Choice(T *v, const T *choices, size_t count) {
    *v = choices[Byte() % count];
  }
  // A count in 0..max.
  void Count(size_t *v, size_t max) { *v = Byte() % (max + 1); }
  // The rest of the input.
  std::string Rest() {
    std::string s(reinterpret_cast<const char *>(data_) + at_, size_ - at_);
    at_ = size_;
    return s;
  }

 private:
  const uint8_t *data_;
  size_t size_;
  size_t at_ = 0;
};

// The inverse of Reader, for making seeds from the shared scenarios.
class Writer {
 public:
  static const bool kWriting = true;
  std::vector<uint8_t> bytes;
  void U8(uint8_t *v) { bytes.push_back(*v); }
  void U16(uint16_t *v) {
    bytes.push_back(static_cast<uint8_t>(*v));
    bytes.push_back(static_cast<uint8_t>(*v >> 8));
  }
  void U32(uint32_t *v) {
    uint16_t lo = static_cast<uint16_t>(*v),
             hi = static_cast<uint16_t>(*v >> 16);
    U16(&lo);
    U16(&hi);
  }
  void Flag(bool *v) { bytes.push_back(*v ? 1 : 0); }
  // A value not among the choices is written as the first.
  template <typename T>
  void Choice(T *v, const T *choices, size_t count) {
    uint8_t index = 0;
    for (size_t i = 0; i < count; ++i)
      if (choices[i] == *v) index = static_cast<uint8_t>(i);
    bytes.push_back(index);
  }
  void Count(size_t *v, size_t) { bytes.push_back(static_cast<uint8_t>(*v)); }
};

// Reports the violations; by default a violation aborts (libFuzzer keeps the
// input as a crash). The replay driver can count them instead.
void Check(const std::vector<std::string> &violations, const char *harness);
void CountViolationsInstead(bool count);
long ViolationsCounted();
// Prints each run's platform calls and the service's end state.
void TraceRuns(bool trace);

}  // namespace fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
