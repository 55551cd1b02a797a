// What the three harnesses share: reading (and, for seeds, writing) the fuzz
// input, and what happens when a run breaks an invariant.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace fuzz {

template <typename T>
struct Same {
  using type = T;
};

// The fuzz input, field by field. Reading, it takes values from the input in
// order (past its end every value is 0); writing, it turns the values into
// a seed and leaves them as they are, so one field list does both.
class IO {
 public:
  IO(const uint8_t *data, size_t size)
      : writing(false), data_(data), size_(size) {}
  IO() : writing(true) {}
  const bool writing;
  std::vector<uint8_t> bytes;  // what was written

  // Little-endian.
  template <typename T>
  void Int(T *v) {
    uint32_t x = 0;
    for (size_t i = 0; i < sizeof(T); ++i)
      x |= uint32_t{Byte(writing ? static_cast<uint8_t>(*v >> 8 * i) : 0)}
           << 8 * i;
    if (!writing) *v = static_cast<T>(x);
  }
  void Flag(bool *v) {
    const bool b = (Byte(writing && *v) & 1) != 0;
    if (!writing) *v = b;
  }
  // One of the choices: the byte modulo their count. A value not among them
  // is written as the first.
  template <typename T>
  void Choice(T *v, std::initializer_list<typename Same<T>::type> choices) {
    uint8_t index = 0;
    for (size_t i = 0; writing && i < choices.size(); ++i)
      if (choices.begin()[i] == *v) index = static_cast<uint8_t>(i);
    const T &chosen = choices.begin()[Byte(index) % choices.size()];
    if (!writing) *v = chosen;
  }
  // A count in 0..max.
  void Count(size_t *v, size_t max) {
    const uint8_t n = Byte(writing ? static_cast<uint8_t>(*v) : 0);
    if (!writing) *v = n % (max + 1);
  }

 private:
  // Writes b, or reads the next byte.
  uint8_t Byte(uint8_t b) {
    if (!writing) return at_ < size_ ? data_[at_++] : 0;
    bytes.push_back(b);
    return b;
  }
  const uint8_t *data_ = nullptr;
  size_t size_ = 0;
  size_t at_ = 0;
};

// Reports the violations; by default a violation aborts (libFuzzer keeps the
// input as a crash).
void Check(const std::vector<std::string> &violations, const char *harness);

// Set by the replay driver: count the violations instead; print each run's
// platform calls and the service's end state.
struct ReplayMode {
  bool count = false, trace = false;
  long counted = 0;
};
inline ReplayMode replay;

}  // namespace fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
