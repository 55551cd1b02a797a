// Runs every scenario of tests/scenarios in-process, on the fake platform and
// its virtual clock, and checks the whole output, what the scanner received,
// the service, and the balance of handles and blocks.
#include "tests/fake/scenario.h"

#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "app/discovery.h"
#include "app/entry.h"
#include "device/protocol.h"
#include "tests/fake/check/invariants.h"
#include "tests/fake/fake_service.h"
#include "tests/unit/run_scanfw.h"

namespace {

const std::string kScenarioDir =
    std::string(SCANFW_SOURCE_DIR) + "/tests/scenarios";

std::vector<std::string> ScenarioNames() {
  std::vector<std::string> names;
  DIR *dir = opendir(kScenarioDir.c_str());
  if (dir == nullptr) return names;
  while (dirent *entry = readdir(dir)) {
    std::string file = entry->d_name;
    if (file.size() > 4 && file.compare(file.size() - 4, 4, ".scn") == 0)
      names.push_back(file.substr(0, file.size() - 4));
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

// Output with control and non-ASCII bytes made visible, for failure reports.
std::string Visible(const std::string &bytes) {
  std::string out;
  char hex[8];
  for (unsigned char c : bytes) {
    if (c == '\n') {
      out += "\\n\n";
    } else if (c < 0x20 || c >= 0x7F) {
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

bool SameBytes(const std::vector<uint8_t> &bytes, const CommandBlock &block) {
  return bytes.size() == sizeof(block.bytes) &&
         std::memcmp(bytes.data(), block.bytes, sizeof(block.bytes)) == 0;
}

// One letter per thing the device received; '?' for anything unexpected.
std::string Wire(int index) {
  std::string wire;
  const fake::FakeImage &image = fake::Image();
  for (const fake::Received &r : fake::ReceivedBy(index)) {
    if (r.kind == fake::Received::Bulk) {
      wire += (r.buffer == image.data && r.length == image.length) ? 'B' : '?';
    } else if (SameBytes(r.bytes, ReadinessQuery())) {
      wire += 'R';
    } else if (SameBytes(r.bytes, FirmwareDownload(image.length))) {
      wire += 'D';
    } else if (SameBytes(r.bytes, BurnStatusQuery())) {
      wire += 'S';
    } else {
      wire += '?';
    }
  }
  return wire;
}

// The device discovery should settle on: the lowest index with the target's
// identifiers whose descriptor can be read as far as the product.
int ExpectedTarget(const fake::Scenario &sc) {
  int found = -1;
  for (const fake::FakeDevice &d : sc.devices) {
    if (d.vendor == kTargetVendorId && d.product == kTargetProductId &&
        !d.descriptorFails && d.descriptorBytes >= 4 &&
        (found < 0 || d.index < found))
      found = d.index;
  }
  return found;
}

class Scenarios : public testing::TestWithParam<std::string> {};

TEST_P(Scenarios, RunAsDescribed) {
  fake::Scenario sc;
  std::string error;
  ASSERT_TRUE(
      fake::LoadScenario(kScenarioDir + "/" + GetParam() + ".scn", &sc, &error))
      << error;
  fake::Reset();
  fake::ApplyScenario(sc);

  int status = -1;
  std::string out = RunScanfwWithStatus(sc.args, &status);
  EXPECT_EQ(status, sc.expectExit);
  EXPECT_EQ(fake::Violations(out, fake::KindOfArguments(sc.args)), "");
  EXPECT_EQ(out, sc.expectedOutput) << "got:\n"
                                    << Visible(out) << "\nexpected:\n"
                                    << Visible(sc.expectedOutput);

  const int target = ExpectedTarget(sc);
  if (sc.checkWire) {
    EXPECT_EQ(target < 0 ? "" : Wire(target), sc.wire);
  }
  for (const fake::FakeDevice &d : sc.devices) {
    if (d.index != target) {
      EXPECT_TRUE(fake::ReceivedBy(d.index).empty()) << "device " << d.index;
    }
    if (sc.checkOpened) {
      bool listed = std::find(sc.opened.begin(), sc.opened.end(), d.index) !=
                    sc.opened.end();
      EXPECT_EQ(fake::TimesOpened(d.index), listed ? 1 : 0)
          << "device " << d.index;
    }
  }
  if (!sc.expectService.empty()) {
    EXPECT_EQ(fake::DescribeService(), sc.expectService);
  }
  if (!sc.expectServiceDuringTransfer.empty()) {
    EXPECT_EQ(fake::S().serviceAtBulkWrite, sc.expectServiceDuringTransfer);
  }

  if (sc.expectNoServiceCalls) {
    EXPECT_EQ(fake::ServiceCallCount(), 0);
  }

  // Balance: every event and service handle closed, every block freed, every
  // device closed but the one being updated, nothing closed twice. A run
  // that updates always asks the service first, so one without a service
  // call (help, version, list) holds no device.
  const bool updated = target >= 0 && fake::ServiceCallCount() > 0;
  EXPECT_EQ(fake::OpenHandles(fake::HandleKind::Event), 0);
  EXPECT_EQ(fake::OpenHandles(fake::HandleKind::Manager), 0);
  EXPECT_EQ(fake::OpenHandles(fake::HandleKind::Service), 0);
  EXPECT_EQ(fake::OpenHandles(fake::HandleKind::Device), updated ? 1 : 0);
  EXPECT_EQ(fake::S().badCloses, 0);
  EXPECT_EQ(fake::S().blocksAllocated, fake::S().blocksFreed);
}

INSTANTIATE_TEST_SUITE_P(Files, Scenarios, testing::ValuesIn(ScenarioNames()),
                         [](const testing::TestParamInfo<std::string> &info) {
                           std::string name = info.param;
                           for (char &c : name)
                             if (!isalnum(static_cast<unsigned char>(c)))
                               c = '_';
                           return name;
                         });

TEST(ScenarioFiles, ThereAreScenarios) {
  EXPECT_GE(ScenarioNames().size(), 20u);
}

}  // namespace
