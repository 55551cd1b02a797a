#include "app/entry.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/fake/fake_platform.h"
#include "tests/unit/capture.h"
#include "tests/unit/run_scanfw.h"

namespace {

// Runs the whole program in-process against the fake platform (no device
// attached) and returns its output.
std::string RunProgram(std::vector<std::string> args,
                       uint16_t langId = 0x0409) {
  fake::Reset();
  fake::S().langId = langId;
  return RunScanfw(args);
}

std::string FirstLine(const std::string &out) {
  return out.substr(0, out.find('\n') + 1);
}

TEST(Options, SecondCharacterDecides) {
  EXPECT_EQ(FirstLine(RunProgram({})), "0\n");
  EXPECT_EQ(FirstLine(RunProgram({"-a"})), "1\n");
  EXPECT_EQ(FirstLine(RunProgram({"/a"})), "1\n");
  EXPECT_EQ(FirstLine(RunProgram({"xa"})), "1\n");
  EXPECT_EQ(FirstLine(RunProgram({"-A"})), "0\n");
  EXPECT_EQ(FirstLine(RunProgram({"-ab"})), "1\n");
  EXPECT_EQ(FirstLine(RunProgram({"a"})), "0\n");
  EXPECT_EQ(FirstLine(RunProgram({""})), "0\n");
  EXPECT_EQ(FirstLine(RunProgram({"-"})), "0\n");
  EXPECT_EQ(FirstLine(RunProgram({"--verbose"})), "0\n");
}

TEST(Options, NumberAfterB) {
  EXPECT_EQ(FirstLine(RunProgram({"-b", "17"})), "17\n");
  EXPECT_EQ(FirstLine(RunProgram({"-b", "-a"})),
            "0\n");  // consumed as the number
  EXPECT_EQ(FirstLine(RunProgram({"-a", "-b", "5"})), "5\n");
  EXPECT_EQ(FirstLine(RunProgram({"-b", "5", "-a"})), "1\n");
  EXPECT_EQ(FirstLine(RunProgram({"-b", "abc"})), "0\n");
  EXPECT_EQ(FirstLine(RunProgram({"-b", ""})), "0\n");
  EXPECT_EQ(FirstLine(RunProgram({"-b", "  \t-42xyz"})), "-42\n");
  EXPECT_EQ(FirstLine(RunProgram({"-b", "+7"})), "7\n");
  EXPECT_EQ(FirstLine(RunProgram({"-b", "2147483647"})), "2147483647\n");
  EXPECT_EQ(FirstLine(RunProgram({"-b", "2147483648"})), "2147483647\n");
  EXPECT_EQ(FirstLine(RunProgram({"-b", "-2147483648"})), "-2147483648\n");
  EXPECT_EQ(FirstLine(RunProgram({"-b", "-99999999999999999999999"})),
            "-2147483648\n");
  EXPECT_EQ(FirstLine(RunProgram({"-b", "99999999999999999999999999999"})),
            "2147483647\n");
  EXPECT_EQ(FirstLine(RunProgram({"-b", "- 5"})), "0\n");
}

TEST(Options, BAsLastArgumentWarnsInTheUsersLanguage) {
  std::string en = RunProgram({"-b"});
  EXPECT_EQ(en.substr(0, 37), "Warning - no following argument!!\n\n0\n");
  std::string zh = RunProgram({"-b"}, 0x0404);
  EXPECT_EQ(zh.substr(0, 34),
            Hex("C4 B5 A7 69") + " - no following argument!!\n\n0\n");
  std::string cn = RunProgram({"-a", "-b"}, 0x0804);
  EXPECT_EQ(cn.substr(0, 37), "Warning - no following argument!!\n\n1\n");
}

TEST(Options, ParseOptionNumberEdges) {
  EXPECT_EQ(ParseOptionNumber("0"), 0);
  EXPECT_EQ(ParseOptionNumber("-0"), 0);
  EXPECT_EQ(ParseOptionNumber("\n\v\f\r 12"), 12);
  EXPECT_EQ(ParseOptionNumber("--5"), 0);
  EXPECT_EQ(ParseOptionNumber("0x10"), 0);
  EXPECT_EQ(ParseOptionNumber("-2147483649"), INT32_MIN);
  EXPECT_EQ(ParseOptionNumber("000000000000000000000000000042"), 42);
}

TEST(Language, OnlyChineseTaiwanSelectsTraditionalChinese) {
  EXPECT_EQ(LanguageFromLangId(0x0404), 1);
  for (uint16_t id : {0x0409, 0x0804, 0x0C04, 0x1004, 0x0004, 0x0411, 0})
    EXPECT_EQ(LanguageFromLangId(id), 0) << id;
}

}  // namespace
