#include "app/entry.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/append_file.h"
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

TEST(Options, DeviceNamesAsListPrintsThem) {
  const struct {
    const char *name;
    int index;
  } kNames[] = {
      {"3", 3},
      {"0", 0},
      {"255", 255},
      {"\\\\.\\usbscan3", 3},
      {"\\\\.\\USBScan12", 12},
      {"256", -1},
      {"03", -1},
      {"", -1},
      {"+3", -1},
      {"3a", -1},
      {"\\\\.\\usbscan", -1},
      {"usbscan3", -1},
      {"\\\\?\\usbscan3", -1},
      {"1000", -1},
      // Only letters fold: no other character stands for another.
      {"||.|usbscan1", -1},
      {"\\\\\x0e\\usbscan1", -1},
      {"\\\\.\\usbscan\x11", -1},
  };
  for (const auto &row : kNames)
    EXPECT_EQ(ParseDeviceName(row.name), row.index) << row.name;
}

// A command line that cannot be run: one line and the usage on standard
// error, nothing on standard output, nothing touched, 7 with --exit-code
// and with --check, whose status a detection rule reads.
TEST(Options, WrongCommandLinesAreRefusedOnStandardError) {
  const struct {
    std::vector<std::string> args;
    const char *says;
  } kWrong[] = {
      {{"--device"}, "--device needs a device name"},
      {{"--device", "scanner"}, "--device needs a device name"},
      {{"--log"}, "--log needs the name of a FILE"},
      {{"--log", ""}, "--log needs the name of a FILE"},
      {{"--all", "--device", "1"}, "--all and --device cannot be given"},
  };
  for (const auto &row : kWrong) {
    for (const char *asking : {"", "--exit-code", "--check"}) {
      const bool exitCode = asking[0] != '\0';
      fake::Reset();
      fake::AddDevice(Attached(0));
      std::vector<std::string> args = row.args;
      if (exitCode) args.insert(args.begin(), asking);
      testing::internal::CaptureStderr();
      int status = -1;
      const std::string out = fake::RunProgram(args, &status);
      const std::string err = testing::internal::GetCapturedStderr();
      EXPECT_EQ(out, "") << row.says;
      EXPECT_EQ(err.find(std::string("scanfw: ") + row.says), 0u) << err;
      EXPECT_NE(err.find("\nUsage: scanfw"), std::string::npos) << err;
      EXPECT_EQ(status, exitCode ? 7 : 0) << row.says;
      EXPECT_TRUE(fake::CallsNamed("CreateFileA").empty()) << row.says;
    }
  }
}

// A record whose every write fails (a full disk) changes nothing of the run.
TEST(Options, ALogThatCannotBeWrittenNeverStopsTheUpdate) {
  std::string plain;
  for (bool logged : {false, true}) {
    fake::Reset();
    fake::AddDevice(Attached(0));
    std::vector<std::string> args = {"--exit-code"};
    // Every write of the record fails, as on a full disk.
    const std::string path = testing::TempDir() + "scanfw_full.log";
    if (logged) args.insert(args.end(), {"--log", path});
    SetAppendFileWriteHook([] { return false; });
    int status = -1;
    const std::string out = fake::RunProgram(args, &status);
    SetAppendFileWriteHook(nullptr);
    EXPECT_EQ(status, 0);
    EXPECT_NE(out.find("Burning firmware done!!"), std::string::npos) << out;
    if (!logged) plain = out;
    EXPECT_EQ(out, plain);
  }
}

TEST(Language, OnlyChineseTaiwanSelectsTraditionalChinese) {
  EXPECT_EQ(LanguageFromLangId(0x0404), 1);
  for (uint16_t id : {0x0409, 0x0804, 0x0C04, 0x1004, 0x0004, 0x0411, 0})
    EXPECT_EQ(LanguageFromLangId(id), 0) << id;
}

}  // namespace
