// The update sequence's own promises beyond its output: where it pauses,
// what it allocates, and where the image goes.
#include "app/update.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "app/discovery.h"
#include "platform/append_file.h"
#include "tests/fake/check/checked_run.h"
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

// The record's writes held back from the pause before the burn on.
namespace stalled {
std::mutex m;
std::condition_variable changed;
bool held = false;
int waiting = 0;  // writes held back now
bool verdictWhileWaiting = false;

bool HoldBack() {
  std::unique_lock<std::mutex> lock(m);
  if (!held) return true;
  ++waiting;
  changed.notify_all();
  // Bounded, so that an update that waits for its record fails rather than
  // hangs: the file then takes writes again.
  if (!changed.wait_for(lock, std::chrono::seconds(5), [] { return !held; }))
    held = false;
  --waiting;
  return true;
}

// At the pause before the burn the file stops taking writes; at the first
// pause after it (the service's restart) the verdict must be in while a
// write still waits; then the file is let go.
void OnSleep(DWORD milliseconds) {
  std::unique_lock<std::mutex> lock(m);
  if (milliseconds == kBurnStartPauseMs) {
    held = true;
    return;
  }
  if (!held) return;
  changed.wait_for(lock, std::chrono::seconds(5), [] { return waiting > 0; });
  verdictWhileWaiting = waiting > 0 &&
                        fake::S().executionRequests.size() == 2 &&
                        fake::S().executionState == ES_CONTINUOUS;
  held = false;
  changed.notify_all();
}
}  // namespace stalled

TEST(Update, ALogFileThatStallsHoldsNothingUp) {
  fake::Reset();
  fake::FakeDevice scanner;
  scanner.burn = {7, 7, 0};
  fake::AddDevice(scanner);
  const std::string path = testing::TempDir() + "scanfw_stalled.log";
  std::remove(path.c_str());
  {
    std::lock_guard<std::mutex> lock(stalled::m);
    stalled::held = false;
    stalled::verdictWhileWaiting = false;
  }
  SetAppendFileWriteHook(stalled::HoldBack);
  fake::S().onSleep = stalled::OnSleep;
  int status = -1;
  const std::string out =
      fake::RunProgram({"--exit-code", "--log", path}, &status);
  SetAppendFileWriteHook(nullptr);
  EXPECT_EQ(status, 0);
  EXPECT_NE(out.find("Burning firmware done!!"), std::string::npos);
  EXPECT_TRUE(stalled::verdictWhileWaiting);
  // Once the file took writes again, the record was finished whole.
  std::ifstream file(path);
  std::stringstream record;
  record << file.rdbuf();
  EXPECT_NE(record.str().find("stdout: Burning firmware done!!\n"),
            std::string::npos);
  EXPECT_NE(record.str().find("end of run: update done; exit status 0\n"),
            std::string::npos);
  EXPECT_EQ(record.str().find("left out"), std::string::npos);
}

}  // namespace
