// The Linux layer's resource calls, linked with the real carrier (not the
// fake): only the entry the program carries is found, and the handles it
// gives out lead to the image's bytes where the executable holds them.
#include <gtest/gtest.h>

#include <cstdint>

#include "platform/win32.h"
#include "resources/firmware_image.h"

namespace {

HRSRC FindImage() {
  return FindResourceA(nullptr, MAKEINTRESOURCEA(119), "BINARY");
}

TEST(LinuxCarrier, FindsTheImageWithoutALanguage) {
  HRSRC entry = FindImage();
  ASSERT_NE(entry, nullptr);
  HGLOBAL data = LoadResource(nullptr, entry);
  ASSERT_NE(data, nullptr);
  const uint8_t *bytes = static_cast<const uint8_t *>(LockResource(data));
  ASSERT_NE(bytes, nullptr);
  EXPECT_GT(SizeofResource(nullptr, entry), 0u);
  // Found again, it is the same memory: nothing is made per call.
  EXPECT_EQ(LockResource(LoadResource(nullptr, FindImage())), bytes);
}

TEST(LinuxCarrier, TypeNameMatchesWithoutRegardToCase) {
  EXPECT_EQ(FindResourceA(nullptr, MAKEINTRESOURCEA(119), "binary"),
            FindImage());
}

TEST(LinuxCarrier, OtherEntriesAreNotFound) {
  SetLastError(0);
  EXPECT_EQ(FindResourceA(nullptr, MAKEINTRESOURCEA(118), "BINARY"), nullptr);
  EXPECT_NE(GetLastError(), 0u);
  EXPECT_EQ(FindResourceA(nullptr, MAKEINTRESOURCEA(120), "BINARY"), nullptr);
  EXPECT_EQ(FindResourceA(nullptr, "119", "BINARY"), nullptr);
  EXPECT_EQ(FindResourceA(nullptr, "#119", "BINARY"), nullptr);
  EXPECT_EQ(FindResourceA(nullptr, MAKEINTRESOURCEA(119), "BINARYX"), nullptr);
  EXPECT_EQ(FindResourceA(nullptr, MAKEINTRESOURCEA(119), "RCDATA"), nullptr);
  // RT_RCDATA, the numbered type, is not the string type "BINARY".
  EXPECT_EQ(FindResourceA(nullptr, MAKEINTRESOURCEA(119), MAKEINTRESOURCEA(10)),
            nullptr);
  HMODULE other = reinterpret_cast<HMODULE>(0x10000);
  EXPECT_EQ(FindResourceA(other, MAKEINTRESOURCEA(119), "BINARY"), nullptr);
}

TEST(LinuxCarrier, LoadAndSizeTakeOnlyTheEntryFound) {
  HRSRC entry = FindImage();
  ASSERT_NE(entry, nullptr);
  HRSRC stranger = reinterpret_cast<HRSRC>(0x1234);
  EXPECT_EQ(LoadResource(nullptr, stranger), nullptr);
  EXPECT_EQ(SizeofResource(nullptr, stranger), 0u);
  HMODULE other = reinterpret_cast<HMODULE>(0x10000);
  EXPECT_EQ(LoadResource(other, entry), nullptr);
  EXPECT_EQ(SizeofResource(other, entry), 0u);
}

TEST(LinuxCarrier, LoadFirmwareImageGetsTheSameView) {
  FirmwareImage image = {nullptr, 0};
  ASSERT_TRUE(LoadFirmwareImage(kLanguageEnglish, &image));
  EXPECT_EQ(image.Data, LockResource(LoadResource(nullptr, FindImage())));
  EXPECT_EQ(image.Length, SizeofResource(nullptr, FindImage()));
}

}  // namespace
