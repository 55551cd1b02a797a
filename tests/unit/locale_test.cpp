#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/linux/locale_langid.h"

namespace {

TEST(LinuxLocale, NamesMapToWindowsLanguageIds) {
  EXPECT_EQ(LangIdFromLocaleName("zh_TW.UTF-8"), 0x0404);
  EXPECT_EQ(LangIdFromLocaleName("zh_TW"), 0x0404);
  EXPECT_EQ(LangIdFromLocaleName("zh_TW.Big5"), 0x0404);
  EXPECT_EQ(LangIdFromLocaleName("zh_CN.UTF-8"), 0x0804);
  EXPECT_EQ(LangIdFromLocaleName("zh_HK.UTF-8"), 0x0C04);
  EXPECT_EQ(LangIdFromLocaleName("en_US.UTF-8"), 0x0409);
  EXPECT_EQ(LangIdFromLocaleName("en_GB"), 0x0809);
  EXPECT_EQ(LangIdFromLocaleName("de_DE@euro"), 0x0407);
  EXPECT_EQ(LangIdFromLocaleName("ja_JP.UTF-8"), 0x0411);
  EXPECT_EQ(LangIdFromLocaleName("C"), 0x0409);
  EXPECT_EQ(LangIdFromLocaleName("POSIX"), 0x0409);
  EXPECT_EQ(LangIdFromLocaleName("C.UTF-8"), 0x0409);
  EXPECT_EQ(LangIdFromLocaleName(""), 0x0409);
  EXPECT_EQ(LangIdFromLocaleName(nullptr), 0x0409);
  EXPECT_EQ(LangIdFromLocaleName("zh_TWX"), 0x0804);  // unknown territory
  EXPECT_EQ(LangIdFromLocaleName("zhx"), 0x0409);
}

TEST(LinuxLocale, LcAllThenLcMessagesThenLang) {
  setenv("LANG", "zh_TW.UTF-8", 1);
  setenv("LC_MESSAGES", "zh_CN.UTF-8", 1);
  setenv("LC_ALL", "", 1);
  EXPECT_EQ(LangIdFromEnvironment(), 0x0804);
  unsetenv("LC_MESSAGES");
  EXPECT_EQ(LangIdFromEnvironment(), 0x0404);
  setenv("LC_ALL", "C", 1);
  EXPECT_EQ(LangIdFromEnvironment(), 0x0409);
  unsetenv("LC_ALL");
  unsetenv("LANG");
  EXPECT_EQ(LangIdFromEnvironment(), 0x0409);
}

}  // namespace
