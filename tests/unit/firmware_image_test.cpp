// LoadFirmwareImage against the fake resource carrier, and the carrier.
#include "resources/firmware_image.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "messages/messages.h"
#include "tests/fake/fake_image.h"
#include "tests/fake/fake_platform.h"
#include "tests/unit/capture.h"

namespace {

const std::vector<std::string> kAllSteps = {"FindResourceA", "LoadResource",
                                            "LockResource", "SizeofResource"};

class FirmwareImageTest : public testing::Test {
 protected:
  void SetUp() override { fake::Reset(); }
};

TEST_F(FirmwareImageTest, ViewIsTheCarriersOwnBytesAndSizeFoundAs119Binary) {
  FirmwareImage image = {nullptr, 0};
  EXPECT_EQ(
      Capture([&] { return LoadFirmwareImage(kLanguageEnglish, &image); }),
      Gives(true));
  EXPECT_EQ(image.Data, fake::Image().data);
  EXPECT_EQ(image.Length, fake::kDefaultImageSize);
  ASSERT_EQ(fake::CallNames(), kAllSteps);
  // Find names the null module, id 119, type BINARY.
  EXPECT_EQ(fake::S().calls[0].detail, "0,119,\"BINARY\"");
  // Load and size take the entry found; lock takes what load returned.
  EXPECT_EQ(fake::S().calls[1].detail, "0,rsrc");
  EXPECT_EQ(fake::S().calls[2].detail, "data");
  EXPECT_EQ(fake::S().calls[3].detail, "0,rsrc");
}

TEST_F(FirmwareImageTest, LengthComesFromThePlatformNotAFixedSize) {
  static const uint8_t kSmall[5] = {9, 8, 7, 6, 5};
  static const uint8_t kOne[1] = {0};
  for (uint32_t length : {5u, 1u}) {
    fake::Reset();
    fake::Image().data = length == 5 ? kSmall : kOne;
    fake::Image().length = length;
    FirmwareImage image = {nullptr, 0};
    ASSERT_TRUE(LoadFirmwareImage(kLanguageEnglish, &image));
    EXPECT_EQ(image.Data, length == 5 ? kSmall : kOne);
    EXPECT_EQ(image.Length, length);
  }
}

TEST_F(FirmwareImageTest, TakingTheViewAllocatesNothing) {
  FirmwareImage image = {nullptr, 0};
  bool ok = false;
  EXPECT_EQ(
      AllocationsIn([&] { ok = LoadFirmwareImage(kLanguageEnglish, &image); }),
      0);
  EXPECT_TRUE(ok);
}

struct FaultCase {
  const char *name;
  fake::ImageFault fault;
  MessageId message;
  size_t stepsTried;
};

const FaultCase kFaults[] = {
    {"Find", fake::ImageFault::Find, MsgFindResourceError, 1},
    {"Load", fake::ImageFault::Load, MsgLoadResourceError, 2},
    {"Lock", fake::ImageFault::Lock, MsgLockResourceError, 3},
    {"Empty", fake::ImageFault::Empty, MsgResourceEmpty, 4},
};

using FaultRow = std::tuple<FaultCase, LanguageIndex>;

class FirmwareImageFaultTest : public FirmwareImageTest,
                               public testing::WithParamInterface<FaultRow> {};

TEST_P(FirmwareImageFaultTest, PrintsItsMessageAndTriesNoLaterStep) {
  const FaultCase &c = std::get<0>(GetParam());
  const LanguageIndex language = std::get<1>(GetParam());
  fake::Image().fault = c.fault;
  static const uint8_t kUntouched = 0;
  FirmwareImage image = {&kUntouched, 77};
  EXPECT_EQ(Capture([&] { return LoadFirmwareImage(language, &image); }),
            Gives(false, std::string(MessageText(c.message, language)) + "\n"));
  std::vector<std::string> tried(kAllSteps.begin(),
                                 kAllSteps.begin() + c.stepsTried);
  EXPECT_EQ(fake::CallNames(), tried);
  // No half-made view reaches the caller.
  EXPECT_EQ(image.Data, &kUntouched);
  EXPECT_EQ(image.Length, 77u);
}

INSTANTIATE_TEST_SUITE_P(
    EachStep, FirmwareImageFaultTest,
    testing::Combine(testing::ValuesIn(kFaults),
                     testing::Values(kLanguageEnglish,
                                     kLanguageTraditionalChinese)),
    [](const testing::TestParamInfo<FaultRow> &info) {
      return std::string(std::get<0>(info.param).name) +
             (std::get<1>(info.param) == kLanguageEnglish ? "English"
                                                          : "Chinese");
    });

TEST_F(FirmwareImageTest, ChineseMessageIsTheCodePage950Text) {
  fake::Image().fault = fake::ImageFault::Find;
  FirmwareImage image = {nullptr, 0};
  std::string out = CaptureOutput(
      [&] { LoadFirmwareImage(kLanguageTraditionalChinese, &image); });
  // "加載固件（查找資源）錯誤!!\n" and the extra line feed.
  EXPECT_EQ(out, Hex("a5 5b b8 fc a9 54 a5 f3 a1 5d ac 64 a7 e4 b8 ea b7 bd"
                     "a1 5e bf f9 bb 7e 21 21 0a 0a"));
}

// The fake carrier itself: it finds only what the real executable carries,
// so a caller asking for anything else is caught.
TEST_F(FirmwareImageTest, CarrierFindsOnlyNullModuleId119TypeBinary) {
  EXPECT_NE(FindResourceA(nullptr, MAKEINTRESOURCEA(119), "BINARY"), nullptr);
  EXPECT_NE(FindResourceA(nullptr, MAKEINTRESOURCEA(119), "binary"), nullptr);
  EXPECT_EQ(FindResourceA(nullptr, MAKEINTRESOURCEA(118), "BINARY"), nullptr);
  EXPECT_EQ(FindResourceA(nullptr, "119", "BINARY"), nullptr);
  EXPECT_EQ(FindResourceA(nullptr, MAKEINTRESOURCEA(119), "RCDATA"), nullptr);
  EXPECT_EQ(FindResourceA(nullptr, MAKEINTRESOURCEA(119), MAKEINTRESOURCEA(10)),
            nullptr);
  HMODULE other = reinterpret_cast<HMODULE>(0x400000);
  EXPECT_EQ(FindResourceA(other, MAKEINTRESOURCEA(119), "BINARY"), nullptr);
  std::vector<fake::Call> finds = fake::CallsNamed("FindResourceA");
  ASSERT_EQ(finds.size(), 7u);
  EXPECT_EQ(finds[3].detail, "0,\"119\",\"BINARY\"");
  EXPECT_EQ(finds[5].detail, "0,119,10");
  EXPECT_EQ(finds[6].detail.substr(0, 2), "0x");
}

TEST_F(FirmwareImageTest, CarrierRefusesHandlesItNeverGaveOut) {
  HRSRC entry = FindResourceA(nullptr, MAKEINTRESOURCEA(119), "BINARY");
  ASSERT_NE(entry, nullptr);
  HGLOBAL data = LoadResource(nullptr, entry);
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(LockResource(data), fake::Image().data);
  // The data handle is not the bytes themselves.
  EXPECT_NE(static_cast<const void *>(data),
            static_cast<const void *>(fake::Image().data));
  EXPECT_EQ(LockResource(entry), nullptr);
  EXPECT_EQ(LoadResource(nullptr, reinterpret_cast<HRSRC>(data)), nullptr);
  EXPECT_EQ(SizeofResource(nullptr, reinterpret_cast<HRSRC>(data)), 0u);
  EXPECT_EQ(SizeofResource(nullptr, entry), fake::kDefaultImageSize);
}

TEST_F(FirmwareImageTest, DefaultImageIsADeterministicNonRepeatingPattern) {
  const uint8_t *data = fake::Image().data;
  ASSERT_NE(data, nullptr);
  for (uint32_t i = 0; i < fake::kDefaultImageSize; ++i)
    ASSERT_EQ(data[i], fake::DefaultImageByte(i)) << i;
  // Every byte value occurs and no small stride repeats it.
  std::vector<int> seen(256, 0);
  for (uint32_t i = 0; i < fake::kDefaultImageSize; ++i) ++seen[data[i]];
  for (int count : seen) EXPECT_GT(count, 0);
  for (uint32_t stride = 1; stride <= 4096; stride *= 2) {
    uint32_t same = 0;
    for (uint32_t i = 0; i + stride < 65536; ++i)
      same += data[i] == data[i + stride];
    EXPECT_LT(same, 65536u / 64) << "stride " << stride;
  }
  // A test that replaced the image does not leak into the next one.
  static const uint8_t kOther[2] = {1, 2};
  fake::Image().data = kOther;
  fake::Image().length = 2;
  fake::Image().fault = fake::ImageFault::Lock;
  fake::Reset();
  EXPECT_EQ(fake::Image().data, data);
  EXPECT_EQ(fake::Image().length, fake::kDefaultImageSize);
  EXPECT_EQ(fake::Image().fault, fake::ImageFault::None);
}

}  // namespace
