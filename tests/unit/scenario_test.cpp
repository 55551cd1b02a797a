// Runs every scenario of tests/scenarios in-process, on the fake platform and
// its virtual clock, and checks the whole output, what the scanner received,
// the service, and the balance of handles and blocks.
#include "tests/fake/scenario.h"

#include <gtest/gtest.h>
#include <iconv.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
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

// Code page 950 bytes as UTF-8.
std::string Utf8(const std::string &big5) {
  iconv_t cd = iconv_open("UTF-8", "CP950");
  std::string out(big5.size() * 3 + 1, '\0');
  char *in = const_cast<char *>(big5.data());
  char *to = &out[0];
  size_t left = big5.size(), room = out.size();
  iconv(cd, &in, &left, &to, &room);
  iconv_close(cd);
  out.resize(out.size() - room);
  return out;
}

// --log's record of the run: every line headed as syslog heads it (the UTC
// time with milliseconds, this computer, this process), then the first line,
// timed lines, the standard output among them as UTF-8, and last the exit
// status.
void ExpectRecord(const fake::Scenario &sc) {
  std::ifstream file(sc.logPath, std::ios::binary);
  std::stringstream all;
  all << file.rdbuf();
  const std::string text = all.str();
  ASSERT_FALSE(text.empty()) << sc.logPath;
  EXPECT_EQ(text.back(), '\n');
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  ASSERT_GE(lines.size(), 3u);
  char host[256] = "";
  gethostname(host, sizeof host - 1);
  // A host name is letters, digits, '-' and '.'.
  const std::string computer =
      std::regex_replace(host, std::regex("\\."), "\\.");
  const std::string head =
      "[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3}Z " +
      computer + " scanfw\\[" + std::to_string(getpid()) + "\\]: ";
  const std::regex first(head +
                         "scanfw 0\\.3\\.53\\.0, Linux [^,]+, computer " +
                         computer + ", \"scanfw\\.exe\"( \"[^\"]*\")+");
  EXPECT_TRUE(std::regex_match(lines[0], first)) << lines[0];
  const std::regex timed(head + "[0-9]+ ms  [^\n]*");
  std::string shown;
  // Standard output, each line of a scanner's block of --all naming it.
  const std::regex stdoutLine(
      R"( ms  stdout(?: \((\\\\\.\\usbscan[0-9]+)\))?: (.*)$)");
  std::string scanner;
  for (size_t i = 1; i < lines.size(); ++i) {
    EXPECT_TRUE(std::regex_match(lines[i], timed)) << lines[i];
    std::smatch m;
    if (!std::regex_search(lines[i], m, stdoutLine)) continue;
    if (m[2].str().rfind("\\\\.\\usbscan", 0) == 0) scanner = m[2];
    if (m[1].matched) {
      EXPECT_EQ(m[1].str(), scanner) << lines[i];
    }
    shown += m[2].str() + "\n";
  }
  EXPECT_EQ(shown, Utf8(sc.expectedOutput));
  const std::string last =
      "; exit status " + std::to_string(sc.record.expect_exit);
  EXPECT_NE(lines.back().find(" ms  end of run: "), std::string::npos);
  EXPECT_EQ(lines.back().substr(lines.back().size() - last.size()), last);
  // --check's record ends with its own answer, never an update's.
  if (std::count(sc.args.begin(), sc.args.end(), "--check") > 0) {
    EXPECT_TRUE(std::regex_search(
        lines.back(),
        std::regex("end of run: (every scanner current or newer|a scanner "
                   "needs this firmware|no scanner|release unknown); ")))
        << lines.back();
  }
}

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
  if (sc.record.checks & SCN_CHECK_LOG) {
    ExpectRecord(sc);
    std::remove(sc.logPath.c_str());
  }

  // Balance: every event and service handle closed, every block freed, every
  // device closed but the one being updated, nothing closed twice. A run
  // that updates always asks the service first, so one without a service
  // call (help, version, list) holds no device, except the scanner a plain
  // run found and left as it is for its release; --all closes each scanner
  // after its verdict.
  const bool leftForItsRelease =
      target >= 0 && sc.record.firmware_release >= 0 &&
      !sc.record.devices[sc.record.target].receives &&
      fake::KindOfArguments(sc.args) == fake::RunKind::Whole;
  const bool updated = target >= 0 &&
                       (fake::ServiceCallCount() > 0 || leftForItsRelease) &&
                       std::count(sc.args.begin(), sc.args.end(), "--all") == 0;
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
