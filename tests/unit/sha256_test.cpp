// SHA-256 against digests worked out apart from the program: the FIPS 180-2
// examples, lengths on both sides of each padding boundary (Python's
// hashlib), a long message, and the fake's own image.
#include "resources/sha256.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "tests/fake/fake_image.h"

namespace {

std::string HexOf(const std::vector<uint8_t> &bytes) {
  char hex[kSha256HexChars];
  Sha256Hex(bytes.empty() ? nullptr : bytes.data(),
            static_cast<uint32_t>(bytes.size()), hex);
  return hex;
}

std::vector<uint8_t> Text(const std::string &text) {
  return std::vector<uint8_t>(text.begin(), text.end());
}

// Byte i is (7 i + 3) mod 256.
std::vector<uint8_t> Ramp(size_t length) {
  std::vector<uint8_t> bytes(length);
  for (size_t i = 0; i < length; ++i)
    bytes[i] = static_cast<uint8_t>(i * 7 + 3);
  return bytes;
}

struct Vector {
  const char *what;
  std::vector<uint8_t> message;
  const char *digest;
};

TEST(Sha256, KnownDigests) {
  const std::vector<Vector> vectors = {
      {"empty",
       {},
       "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", Text("abc"),
       "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"448 bits",
       Text("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"896 bits",
       Text("abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmn"
            "hijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu"),
       "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
      {"a million a", std::vector<uint8_t>(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const Vector &v : vectors)
    EXPECT_EQ(HexOf(v.message), v.digest) << v.what;
  // The length field fits behind the tail up to 55 bytes; from 56 on the
  // padding takes a second block.
  const std::pair<size_t, const char *> ramps[] = {
      {55, "e7313d333c272e639f790978283f9eb392e843d0f29b7016828bb1daa4aac70b"},
      {56, "4324d65f3c103567f5589c710bc08f8523f929a9272e3af36fc968e52abc6c27"},
      {63, "81c80242132f230c3bd41b3e63bbcff16107339549214a99614ff26664625055"},
      {64, "39e3d7b6b5d075d37d053ad89b24b41bef4f3c29760c84447cab3f3be1882241"},
      {65, "aacca6ff74fdbb296d165a45cecfa04e5127bc008770fbbdd48006f2d2fae95e"},
      {119, "9ce7368e4daf32341631b492e80359dc9f594b48453cd0dd5bf0b19279cc177e"},
      {120, "7836b787757e95e58b3ca5aec90b1b004e8deba1e50e9675af9cabf1a13a04b5"},
      {127, "a8d23e75d936f303d248888d9b165ee543f4cbafcad3c9dd2a79bd84faa11d07"},
      {128, "d2742f1f4ac6bb7ca2b239ee18402ba8b3f9f8e652d2a72973c2b9ba11c08cf6"},
  };
  for (const auto &r : ramps)
    EXPECT_EQ(HexOf(Ramp(r.first)), r.second) << r.first;
}

TEST(Sha256, TheFakeImagesDigestIsTheOneItsHarnessPrints) {
  fake::ResetImage();
  char hex[kSha256HexChars];
  Sha256Hex(fake::Image().data, fake::Image().length, hex);
  EXPECT_STREQ(hex, fake::kDefaultImageSha256);
}

TEST(Sha256, RawDigestMatchesItsHex) {
  uint8_t digest[kSha256DigestBytes];
  const std::vector<uint8_t> abc = Text("abc");
  Sha256(abc.data(), 3, digest);
  EXPECT_EQ(digest[0], 0xBA);
  EXPECT_EQ(digest[31], 0xAD);
}

}  // namespace
