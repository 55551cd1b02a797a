// The simulated resource carrier: the firmware image the fake executable
// holds, and which of the four steps of reaching it fails.
//
// The four calls are recorded with fake::Record, their arguments as text:
//   FindResourceA   "<module>,<name>,<type>"  e.g. 0,119,"BINARY"
//   LoadResource    "<module>,<resource>"     e.g. 0,rsrc
//   LockResource    "<data>"                  e.g. data
//   SizeofResource  "<module>,<resource>"     e.g. 0,rsrc
// A module is 0 for the null handle, otherwise its address in hex. A name or
// type is its decimal number when it is an integer identifier, otherwise the
// quoted string. "rsrc" and "data" stand for the handles this carrier hands
// out; any other handle is written as its address in hex.
#pragma once

#include <cstdint>

#include "tests/fake/fake_platform.h"

namespace fake {

enum class ImageFault { None, Find, Load, Lock, Empty };

struct FakeImage {
  const uint8_t *data;  // defaults to a built-in pattern of kDefaultImageSize
  uint32_t length;
  ImageFault fault = ImageFault::None;
  // What CarriesPlaceholderImage() answers; the built-in pattern stands in
  // for the placeholder, as in a build without SCANFW_FIRMWARE_IMAGE.
  bool placeholder = true;
  // What CarriedFirmwareRelease() answers; unknown, as in a build without
  // SCANFW_FIRMWARE_RELEASE.
  int release = -1;
};

const uint32_t kDefaultImageSize = 256 * 1024;

FakeImage &Image();

// The built-in pattern, byte i of the default image.
uint8_t DefaultImageByte(uint32_t i);

// The default image's SHA-256, worked out apart from the program (Python's
// hashlib over DefaultImageByte(0..kDefaultImageSize-1)).
const char kDefaultImageSha256[] =
    "1a1ab1513b1909e60f0b0c98cb9b13c3188bf4ad3a0349c6650d005f4f49260c";

}  // namespace fake
