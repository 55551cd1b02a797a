// Runs every scenario of tests/scenarios in-process, on the fake platform and
// its virtual clock, and checks the whole output, what the scanner received,
// the service, and the balance of handles and blocks.
#include "tests/fake/scenario.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/fake/check/invariants.h"
#include "tests/fake/fake_image.h"
#include "tests/fake/fake_scanner.h"
#include "tests/fake/fake_service.h"
#include "tests/sim/scanner_model.h"
#include "tests/unit/run_scanfw.h"

namespace {

class Scenarios : public testing::TestWithParam<std::string> {};

TEST_P(Scenarios, RunAsDescribed) {
  const fake::Scenario sc = LoadedScenario(GetParam());
  if (HasFailure()) return;
  fake::Reset();
  fake::ApplyScenario(sc);

  int status = -1;
  std::string out = fake::RunProgram(sc.args, &status);
  EXPECT_EQ(status, static_cast<int>(sc.record.expect_exit));
  EXPECT_EQ(fake::Violations(out, fake::KindOfArguments(sc.args)), "");
  EXPECT_EQ(out, sc.expectedOutput);  // gtest shows both escaped, and a diff

  // What the devices received, as the scanner model saw it; the bulk
  // write, besides, straight from the image where it lies.
  const std::vector<scn_scanner> models = fake::ScannerModels();
  char problems[4096] = "";
  scn_text text = {problems, sizeof problems, 0};
  EXPECT_EQ(
      scn_check(&sc.record, models.data(), static_cast<uint32_t>(models.size()),
                SCN_CHECK_WIRE | SCN_CHECK_OPENED, &text),
      0u)
      << problems;
  const int target =
      sc.record.target < 0 ? -1 : sc.record.devices[sc.record.target].index;
  for (const fake::Received &r : fake::ReceivedBy(target)) {
    if (r.kind != fake::Received::Bulk) continue;
    EXPECT_EQ(r.buffer, fake::Image().data);
    EXPECT_EQ(r.length, fake::Image().length);
  }
  if (sc.record.checks & SCN_CHECK_SERVICE) {
    EXPECT_EQ(fake::DescribeService(),
              fake::ServiceText(sc.record.expect_service));
  }
  if (sc.record.checks & SCN_CHECK_SERVICE_DURING) {
    EXPECT_EQ(fake::S().serviceAtBulkWrite,
              fake::ServiceText(sc.record.expect_service_during));
  }
  if (sc.record.checks & SCN_CHECK_NO_SERVICE_CALLS) {
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

INSTANTIATE_TEST_SUITE_P(
    Files, Scenarios, testing::ValuesIn(FakeScenarios()),
    [](const testing::TestParamInfo<std::string> &info) {
      return info.param;  // gtest refuses one outside [A-Za-z0-9_]
    });

TEST(ScenarioFiles, ThereAreScenarios) {
  EXPECT_GE(FakeScenarios().size(), 45u);
}

}  // namespace
