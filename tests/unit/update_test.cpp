// The update sequence's own promises beyond its output: where it pauses,
// what it allocates, and where the image goes.
#include "app/update.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/discovery.h"
#include "tests/fake/fake_image.h"
#include "tests/fake/fake_scanner.h"
#include "tests/fake/fake_service.h"
#include "tests/unit/capture.h"

namespace {

// Attaches a scanner with these answers and finds it.
DeviceHandle FoundScanner(std::vector<uint16_t> readiness,
                          std::vector<uint16_t> burn) {
  fake::FakeDevice scanner;
  if (!readiness.empty()) scanner.readiness = readiness;
  if (!burn.empty()) scanner.burn = burn;
  fake::AddDevice(scanner);
  DeviceHandle device = INVALID_HANDLE_VALUE;
  CaptureOutput([&] { device = Discover(kLanguageEnglish); });
  return device;
}

// Finds the scanner and updates it; what the update printed.
std::string Updated(std::vector<uint16_t> readiness = {},
                    std::vector<uint16_t> burn = {},
                    DeviceHandle *found = nullptr) {
  DeviceHandle device = FoundScanner(readiness, burn);
  if (found) *found = device;
  return CaptureOutput([&] { RunUpdate(device, kLanguageEnglish); });
}

// Transport.TheAllocationCounterSeesAnAllocation shows the counter works.
TEST(Update, AllocatesNothingOfItsOwn) {
  fake::Reset();
  DeviceHandle device = FoundScanner({5, 0}, {7, 0});
  ASSERT_NE(device, INVALID_HANDLE_VALUE);

  long allocations = -1;
  std::string out = CaptureOutput([&] {
    allocations = AllocationsIn([&] { RunUpdate(device, kLanguageEnglish); });
  });
  EXPECT_EQ(allocations, 0);
  EXPECT_NE(out.find("Burning firmware done!!"), std::string::npos);
  // The service's configuration block is the platform's, and it is freed.
  EXPECT_GT(fake::S().blocksAllocated, 0);
  EXPECT_EQ(fake::S().blocksAllocated, fake::S().blocksFreed);
}

TEST(Update, PausesOnlyBetweenBusyAnswersAndBeforeTheBurn) {
  fake::Reset();
  fake::Service().installed = false;  // no service polls among the pauses
  Updated({5, 5, 0}, {7, 7, 7, 0});

  std::vector<std::string> sleeps;
  for (const fake::Call &c : fake::CallsNamed("Sleep"))
    sleeps.push_back(c.detail);
  EXPECT_EQ(sleeps, (std::vector<std::string>{"1000", "1000", "6000"}));

  // The 6-second pause lies between the image and the first burn query.
  const std::vector<fake::Call> &calls = fake::S().calls;
  int bulk = -1, pause = -1, firstBurnQuery = -1;
  for (size_t i = 0; i < calls.size(); ++i) {
    const fake::Call &c = calls[i];
    if (c.name == "WriteFile" && c.length == fake::Image().length)
      bulk = static_cast<int>(i);
    if (c.name == "Sleep" && c.detail == "6000") pause = static_cast<int>(i);
    if (c.name == "WriteFile" && pause >= 0 && firstBurnQuery < 0 &&
        c.length == 16)
      firstBurnQuery = static_cast<int>(i);
  }
  ASSERT_GE(bulk, 0);
  EXPECT_LT(bulk, pause);
  EXPECT_LT(pause, firstBurnQuery);
}

TEST(Update, TheImageGoesOutInOneWriteFromWhereItLies) {
  fake::Reset();
  Updated();

  int bulkWrites = 0;
  for (const fake::Call &c : fake::CallsNamed("WriteFile")) {
    if (c.length == 16) continue;
    ++bulkWrites;
    EXPECT_EQ(c.buffer, fake::Image().data);
    EXPECT_EQ(c.length, fake::Image().length);
  }
  EXPECT_EQ(bulkWrites, 1);
}

TEST(Update, TheFoundDeviceStaysOpen) {
  fake::Reset();
  DeviceHandle device = INVALID_HANDLE_VALUE;
  Updated({}, {5}, &device);  // even after a failed burn
  EXPECT_EQ(fake::OpenHandles(fake::HandleKind::Device), 1);
  EXPECT_TRUE(fake::FindHandle(device) != nullptr &&
              fake::FindHandle(device)->open);
}

}  // namespace
