// The simulated resource carrier: the firmware image the fake executable
// holds, and which of the four steps of reaching it fails.
#pragma once

#include <cstdint>

#include "tests/fake/fake_platform.h"

namespace fake {

enum class ImageFault { None, Find, Load, Lock, Empty };

struct FakeImage {
  const uint8_t *data;  // defaults to a built-in pattern of kDefaultImageSize
  uint32_t length;
  ImageFault fault = ImageFault::None;
};

const uint32_t kDefaultImageSize = 256 * 1024;

FakeImage &Image();

}  // namespace fake
