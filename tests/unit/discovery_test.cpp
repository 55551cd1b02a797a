#include "app/discovery.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/fake/fake_platform.h"
#include "tests/unit/run_scanfw.h"

namespace {

using fake::Arg;
using fake::HandleKind;

const char kDescriptorError[] = "Get device descriptor error!!\n\n";
const char kDescriptorErrorZh[] =
    "c0 f2 a8 fa b3 5d b3 c6 b4 79 ad 7a b2 c5 aa ba bf f9 bb 7e 21 21 0a 0a";
const char kNotFoundZh[] =
    "b3 5d b3 c6 a5 bc a7 e4 a8 ec 21 21 0a b5 b2 a7 f4 20 b5 7b a7 c7 2e 2e "
    "2e 0a 0a";

// The names CreateFileA was asked for, in order.
std::vector<std::string> OpenedNames() {
  std::vector<std::string> names;
  for (const fake::Call &c : fake::CallsNamed("CreateFileA"))
    names.push_back(Arg(c, "name"));
  return names;
}

std::vector<std::string> NamesUpTo(int last) {
  std::vector<std::string> names;
  for (int i = 0; i <= last; ++i)
    names.push_back("\\\\.\\usbscan" + std::to_string(i));
  return names;
}

int TagOf(DeviceHandle device) {
  const fake::HandleInfo *info = fake::FindHandle(device);
  return info == nullptr ? -1 : info->tag;
}

class Discovery : public testing::Test {
 protected:
  void SetUp() override { fake::Reset(); }

  std::string Run(LanguageIndex language = 0) {
    return CaptureOutput([&] { found_ = Discover(language); });
  }

  DeviceHandle found_ = nullptr;
};

TEST_F(Discovery, TargetIdentifiers) {
  EXPECT_EQ(kTargetVendorId, 0x3A7C);
  EXPECT_EQ(kTargetProductId, 0x4E21);
  EXPECT_EQ(kCandidateCount, 256);
}

TEST_F(Discovery, NothingAttachedTriesAll256NamesThenReportsNotFound) {
  EXPECT_EQ(Run(), kNotFound);
  EXPECT_EQ(found_, INVALID_HANDLE_VALUE);
  EXPECT_EQ(OpenedNames(), NamesUpTo(255));
  EXPECT_EQ(OpenedNames()[0], "\\\\.\\usbscan0");  // 12 characters
  EXPECT_EQ(OpenedNames()[0].size(), 12u);
  EXPECT_EQ(OpenedNames()[255].size(), 14u);
  // Only the opens: nothing queried, nothing closed, nothing transferred.
  EXPECT_EQ(fake::CallNames().size(), 256u);
  for (const fake::Call &c : fake::S().calls) {
    ASSERT_EQ(c.name, "CreateFileA");
    ExpectArgs(c, {{"access", "0xc0000000"},
                   {"share", "3"},
                   {"disposition", "3"},
                   {"flags", "0x4"}});
  }
  fake::Reset();
  EXPECT_EQ(Run(1), Hex(kNotFoundZh));  // in Traditional Chinese
}

TEST_F(Discovery, TargetBehindOtherDevices) {
  fake::AddDevice(Attached(0, 0x04A9, 0x1234));
  fake::AddDevice(Attached(1, 0x1111, 0x4E21));
  fake::AddDevice(Attached(2));
  EXPECT_EQ(Run(), "");
  ASSERT_NE(found_, INVALID_HANDLE_VALUE);
  EXPECT_EQ(TagOf(found_), 2);
  EXPECT_EQ(OpenedNames(), NamesUpTo(2));
  for (int i : {0, 1, 2}) EXPECT_EQ(fake::TimesOpened(i), 1) << i;
  EXPECT_EQ(
      fake::CallNames(),
      std::vector<std::string>({"CreateFileA", "DeviceIoControl", "CloseHandle",
                                "CreateFileA", "DeviceIoControl", "CloseHandle",
                                "CreateFileA", "DeviceIoControl"}));
  EXPECT_EQ(fake::OpenHandles(HandleKind::Device), 1);
  EXPECT_TRUE(fake::FindHandle(found_)->open);
  EXPECT_EQ(fake::S().badCloses, 0);
  EXPECT_EQ(fake::HandlesCreated(HandleKind::Event), 0);
}

TEST_F(Discovery, TwoTargetsTheLowerOneIsReturnedTheOtherNeverOpened) {
  fake::AddDevice(Attached(9));
  fake::AddDevice(Attached(5));
  EXPECT_EQ(Run(), "");
  EXPECT_EQ(TagOf(found_), 5);
  EXPECT_EQ(fake::TimesOpened(9), 0);
  EXPECT_EQ(OpenedNames(), NamesUpTo(5));
}

TEST_F(Discovery, DescriptorFailureThenTarget) {
  fake::AddDevice(FailingDescriptor(Attached(0)));
  fake::AddDevice(Attached(1));
  EXPECT_EQ(Run(), kDescriptorError);
  EXPECT_EQ(TagOf(found_), 1);
  EXPECT_EQ(fake::OpenHandles(HandleKind::Device), 1);
  const std::vector<fake::Call> closes = fake::CallsNamed("CloseHandle");
  ASSERT_EQ(closes.size(), 1u);
  EXPECT_EQ(Arg(closes[0], "kind"), "device");
}

TEST_F(Discovery, OneDescriptorMessagePerFailingCandidateInTheLanguage) {
  std::string expected;
  for (int i : {3, 40, 41}) {
    fake::AddDevice(FailingDescriptor(Attached(i)));
    expected += Hex(kDescriptorErrorZh);
  }
  EXPECT_EQ(Run(1), expected + Hex(kNotFoundZh));
  EXPECT_EQ(found_, INVALID_HANDLE_VALUE);
  EXPECT_EQ(fake::OpenHandles(HandleKind::Device), 0);
  EXPECT_EQ(OpenedNames(), NamesUpTo(255));
}

TEST_F(Discovery, SameVendorOtherProductIsClosedSilently) {
  fake::AddDevice(Attached(0, 0x3A7C, 0x4E22));
  fake::AddDevice(Attached(1, 0x4E21, 0x3A7C));  // identifiers swapped
  fake::AddDevice(Attached(2));
  EXPECT_EQ(Run(), "");
  EXPECT_EQ(TagOf(found_), 2);
  EXPECT_EQ(fake::OpenHandles(HandleKind::Device), 1);
}

TEST_F(Discovery, EveryHandleButTheFoundOneIsClosed) {
  for (int i = 0; i < 200; i += 3) {
    fake::FakeDevice d = Attached(i, static_cast<uint16_t>(0x1000 + i));
    d.descriptorFails = i % 2 == 0;
    fake::AddDevice(d);
  }
  fake::AddDevice(Attached(201));
  fake::AddDevice(Attached(202));
  CaptureOutput([&] { found_ = Discover(0); });
  EXPECT_EQ(TagOf(found_), 201);
  EXPECT_EQ(fake::OpenHandles(HandleKind::Device), 1);
  EXPECT_EQ(fake::HandlesCreated(HandleKind::Device), 68);
  EXPECT_EQ(fake::CallsNamed("CloseHandle").size(), 67u);
  EXPECT_EQ(fake::S().badCloses, 0);
  EXPECT_TRUE(fake::FindHandle(found_)->open);
  EXPECT_EQ(fake::TimesOpened(202), 0);
}

// One device attached: found or not, and opened once if its name is tried.
TEST_F(Discovery, OneDeviceAttached) {
  fake::FakeDevice shortFill = Attached(4), unfilled = Attached(0);
  // Release and language are not looked at; a short fill still counts.
  shortFill.release = 0xFFFF;
  shortFill.language = 0x1234;
  shortFill.descriptorBytes = 4;
  unfilled.descriptorBytes = 2;  // vendor only: the product reads as zero
  const struct {
    const char *what;
    fake::FakeDevice device;
    bool found;
  } kRows[] = {
      {"only vendor and product decide", shortFill, true},
      {"an unfilled product does not match", unfilled, false},
      {"no index beyond 255 is tried", Attached(256), false},
      {"the highest index is found", Attached(255), true},
      {"same vendor, other product", Attached(0, 0x3A7C, 0x4E22), false}};
  for (const auto &row : kRows) {
    SCOPED_TRACE(row.what);
    fake::Reset();
    fake::AddDevice(row.device);
    const int index = row.device.index;
    EXPECT_EQ(Run(), row.found ? "" : kNotFound);
    EXPECT_EQ(TagOf(found_), row.found ? index : -1);
    EXPECT_EQ(fake::OpenHandles(HandleKind::Device), row.found ? 1 : 0);
    EXPECT_EQ(fake::TimesOpened(index), index < 256 ? 1 : 0);
  }
}

TEST_F(Discovery, TheEntrySearchesAfterPrintingTheOptionValue) {
  EXPECT_EQ(RunScanfw({"-b", "42"}), std::string("42\n") + kNotFound);
  EXPECT_EQ(OpenedNames(), NamesUpTo(255));
}

TEST_F(Discovery, TheEntryKeepsTheFoundDeviceOpen) {
  fake::AddDevice(Attached(3));
  const std::string out = RunScanfw({});
  EXPECT_EQ(out.substr(0, 2), "0\n");
  EXPECT_EQ(out.find("Device not found"), std::string::npos);
  EXPECT_EQ(fake::TimesOpened(3), 1);
  EXPECT_EQ(fake::OpenHandles(HandleKind::Device), 1);
}

}  // namespace
