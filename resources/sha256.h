// SHA-256 (FIPS 180-4), so that `scanfw --version` can name the image it
// carries in a form anyone can recompute (sha256sum, Get-FileHash).
#pragma once

#include <cstdint>

const int kSha256DigestBytes = 32;
// Lower-case hex digits and the terminating NUL.
const int kSha256HexChars = 2 * kSha256DigestBytes + 1;

// The digest of `length` bytes at `data`, read in place; no allocation.
void Sha256(const uint8_t *data, uint32_t length,
            uint8_t digest[kSha256DigestBytes]);

// The digest as lower-case hex.
void Sha256Hex(const uint8_t *data, uint32_t length, char hex[kSha256HexChars]);
