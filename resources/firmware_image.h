// The firmware image carried inside the executable, reached in place.
#pragma once

#include <cstdint>

#include "messages/messages.h"

const int kFirmwareResourceId = 119;
#define SCANFW_FIRMWARE_RESOURCE_TYPE "BINARY"

// A read-only view of the image where the loaded executable holds it.
struct FirmwareImage {
  const uint8_t *Data;
  uint32_t Length;  // never 0 in a view that is handed out
};

// Fills the view and returns true, or prints the failing step's message and
// returns false. Copies nothing and allocates nothing. `sha256`, when given
// (kSha256HexChars), receives the image's hash, which the log's line then
// shares: the image is read for it once.
bool LoadFirmwareImage(LanguageIndex language, FirmwareImage *image,
                       char *sha256 = nullptr);

// True when the build embeds the generated placeholder rather than the
// scanner's firmware. Defined by whatever carries the image (the build's
// image facts, or a test platform), not by the core.
bool CarriesPlaceholderImage();

// The release (USB bcdDevice) a scanner reports once it runs the carried
// image, 0 to 0xFFFF; -1 when the build was not told it.
int CarriedFirmwareRelease();
