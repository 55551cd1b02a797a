// --verbose on the fake platform: every shared scenario runs again with it,
// with the standard output its .out file holds and a log on standard error;
// each way a run can fail names its failing call and code in the log, before
// the message on standard output.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "app/entry.h"
#include "app/update.h"
#include "messages/diagnostics.h"
#include "messages/error_names.h"
#include "tests/fake/check/checked_run.h"
#include "tests/fake/check/invariants.h"
#include "tests/fake/fake_image.h"
#include "tests/fake/fake_platform.h"
#include "tests/fake/scenario.h"
#include "tests/unit/run_scanfw.h"

namespace {

struct Streams {
  std::string out;  // standard output, or both in order when together
  std::string err;
  int status = -1;
};

// The whole program with standard output and standard error each in memory,
// or both in one stream, in the order written.
Streams RunStreams(std::vector<std::string> args, bool together = false) {
  std::vector<char *> argv;
  char *data[2] = {nullptr, nullptr};
  size_t size[2] = {0, 0};
  FILE *streams[2] = {nullptr, nullptr};
  {
    fake::Bookkeeping b;
    args.insert(args.begin(), "scanfw.exe");
    for (std::string &a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    for (int i = 0; i < (together ? 1 : 2); ++i)
      streams[i] = open_memstream(&data[i], &size[i]);
  }
  std::fflush(stdout);
  std::fflush(stderr);
  FILE *savedOut = stdout;
  FILE *savedErr = stderr;
  stdout = streams[0];
  stderr = together ? streams[0] : streams[1];
  Streams s;
  s.status = ScanfwMain(static_cast<int>(args.size()), argv.data());
  std::fflush(stdout);
  std::fflush(stderr);
  stdout = savedOut;
  stderr = savedErr;
  fake::Bookkeeping b;
  for (int i = 0; i < 2; ++i) {
    if (streams[i] == nullptr) continue;
    std::fclose(streams[i]);
    (i == 0 ? s.out : s.err).assign(data[i], size[i]);
    std::free(data[i]);
  }
  return s;
}

// The scenario's arguments with --verbose first, so that no "b" takes it
// for its number.
std::vector<std::string> Verbose(std::vector<std::string> args) {
  args.insert(args.begin(), "--verbose");
  return args;
}

bool IsHelp(const std::vector<std::string> &args) {
  for (const std::string &a : args)
    if (a == "--help" || a == "-h" || a == "-?" || a == "/?") return true;
  return false;
}

class VerboseScenarios : public testing::TestWithParam<std::string> {};

TEST_P(VerboseScenarios, SameOutputAndALogOfTimedLines) {
  const fake::Scenario sc = LoadedScenario(GetParam());

  fake::Reset();
  fake::ApplyScenario(sc);
  const Streams quiet = RunStreams(sc.args);
  // A refused command line or log file says so on standard error, the same
  // with --verbose: nothing else is done, so there is nothing to log.
  const bool refused = (sc.record.checks & SCN_CHECK_STDERR) != 0 ||
                       sc.record.expect_exit == kOutcomeRefused ||
                       sc.record.expect_exit == kOutcomeReleaseUnknown;
  if (refused) {
    EXPECT_NE(quiet.err.find(sc.record.expect_stderr), std::string::npos)
        << quiet.err;  // "" when it names no text
    EXPECT_NE(quiet.err, "");
  } else {
    EXPECT_EQ(quiet.err, "") << "standard error without --verbose";
  }

  fake::Reset();
  fake::ApplyScenario(sc);
  const Streams loud = RunStreams(Verbose(sc.args));
  std::remove(sc.logPath.c_str());
  if (refused) {
    EXPECT_EQ(loud.out, "");
    EXPECT_EQ(loud.err, quiet.err);
    return;
  }
  EXPECT_EQ(loud.out, sc.expectedOutput);
  EXPECT_EQ(loud.status, static_cast<int>(sc.record.expect_exit));
  EXPECT_EQ(fake::Violations(loud.out, fake::KindOfArguments(sc.args)), "");

  if (IsHelp(sc.args)) {
    EXPECT_EQ(loud.err, "") << "help is the usage text alone";
    return;
  }
  // Every line: milliseconds, two spaces, English text (printable ASCII).
  const std::regex line("[0-9]+ ms  [ -~]+");
  size_t lines = 0;
  for (size_t at = 0; at < loud.err.size();) {
    const size_t end = loud.err.find('\n', at);
    ASSERT_NE(end, std::string::npos) << "an unfinished last line";
    const std::string text = loud.err.substr(at, end - at);
    EXPECT_TRUE(std::regex_match(text, line)) << text;
    at = end + 1;
    ++lines;
  }
  EXPECT_GE(lines, 3u + sc.args.size()) << loud.err;
  EXPECT_NE(loud.err.find("scanfw 0.3.53.0, Linux"), std::string::npos);
  EXPECT_NE(loud.err.find("argument 1: \"--verbose\""), std::string::npos);
  char langId[48];
  std::snprintf(langId, sizeof langId, "user's LANGID 0x%04X: messages in %s",
                sc.langId, sc.langId == 0x0404 ? "Traditional" : "English");
  EXPECT_NE(loud.err.find(langId), std::string::npos) << loud.err;
  if (fake::KindOfArguments(sc.args) == fake::RunKind::Whole) {
    if (sc.record.expect_exit != 0) {
      const std::string outcome =
          "outcome " + std::to_string(sc.record.expect_exit) + ": ";
      EXPECT_NE(loud.err.find(outcome), std::string::npos) << loud.err;
    }
    EXPECT_NE(loud.err.find(" ms  outcome "), std::string::npos) << loud.err;
  }
}

INSTANTIATE_TEST_SUITE_P(Files, VerboseScenarios,
                         testing::ValuesIn(FakeScenarios()),
                         [](const testing::TestParamInfo<std::string> &info) {
                           return info.param;
                         });

// One row per way a run fails: the scenario (with a console control event
// armed where the run is cancelled), the log line that names the failing
// call and its code, and the message on standard output it must precede.
struct FailureRow {
  const char *name;
  const char *scenario;
  UpdateOutcome outcome;
  const char *logged;      // the failing call and its code, as logged
  const char *stdoutText;  // the first failure message it explains
  fake::Interrupt interrupt;
};

const FailureRow kFailures[] = {
    {"NotFound",
     "no_device",
     kOutcomeNotFound,
     "256 device names had no device behind them (CreateFileA error 2 "
     "ERROR_FILE_NOT_FOUND)",
     "Device not found!!",
     {}},
    {"DescriptorFails",
     "descriptor_fails_first",
     kOutcomeBurnDone,
     "DeviceIoControl(IOCTL_GET_DEVICE_DESCRIPTOR) \\\\.\\usbscan0 failed: "
     "error 31 ERROR_GEN_FAILURE: System text of error 31.",
     "Get device descriptor error!!",
     {}},
    {"ImageFind",
     "image_find_fails",
     kOutcomeImageError,
     "FindResourceA(BINARY/119) failed: error 1814 "
     "ERROR_RESOURCE_NAME_NOT_FOUND: System text of error 1814.",
     "Loading firmware (find resource) error!!",
     {}},
    {"ImageLock",
     "image_lock_fails",
     kOutcomeImageError,
     "LockResource failed: it gave no address",
     "Loading firmware (lock resource) error!!",
     {}},
    {"ReadinessRead",
     "readiness_exchange_fails",
     kOutcomeNotReady,
     "ReadFile failed: error 31 ERROR_GEN_FAILURE: System text of error 31.",
     "Read from USB error!!",
     {}},
    {"ReadinessWait",
     "readiness_wait_fails",
     kOutcomeNotReady,
     "WaitForSingleObject (1000 ms) failed: error ",
     "",
     {}},
    {"ReadinessTimeout",
     "busy_timeout",
     kOutcomeNotReady,
     "no ready answer after 600000 ms",
     "",
     {}},
    {"DownloadWrite",
     "download_command_fails",
     kOutcomeSendError,
     "WriteFile failed: error 31 ERROR_GEN_FAILURE",
     "Write to USB error!!",
     {}},
    {"BulkWrite",
     "data_write_fails",
     kOutcomeSendError,
     "WriteFile failed: error 31 ERROR_GEN_FAILURE",
     "Write to USB error!!",
     {}},
    {"BulkOverlapped",
     "data_write_overlapped_fails",
     kOutcomeSendError,
     "GetOverlappedResult failed: error ",
     "",
     {}},
    {"BulkShort",
     "data_write_short",
     kOutcomeSendError,
     "GetOverlappedResult moved ",
     "",
     {}},
    {"BurnRead",
     "burn_exchange_fails",
     kOutcomeBurnError,
     "ReadFile failed: error 31 ERROR_GEN_FAILURE",
     "Read from USB error!!",
     {}},
    {"BurnTimeout",
     "burn_exchange_times_out",
     kOutcomeBurnError,
     "WaitForSingleObject (1000 ms) failed: error 258 WAIT_TIMEOUT",
     "",
     {}},
    {"BurnStatus",
     "burn_error",
     kOutcomeBurnError,
     "status word 0x0005: error",
     "",
     {}},
    {"Cancelled",
     "readiness_7_is_busy",
     kOutcomeCancelled,
     "a console control event arrived",
     "Update cancelled!!",
     {"Sleep", "1000", 1, CTRL_C_EVENT}},
};

void PrintTo(const FailureRow &row, std::ostream *os) { *os << row.name; }

class VerboseFailures : public testing::TestWithParam<FailureRow> {};

TEST_P(VerboseFailures, NameTheCallAndItsCodeFirst) {
  const FailureRow &row = GetParam();
  const fake::Scenario sc = LoadedScenario(row.scenario);
  fake::Reset();
  fake::ApplyScenario(sc);
  fake::ArmInterrupt(row.interrupt);
  std::vector<std::string> args = Verbose(sc.args);
  args.push_back("--exit-code");
  const Streams both = RunStreams(args, true);
  const size_t logged = both.out.find(row.logged);
  ASSERT_NE(logged, std::string::npos) << both.out;
  if (row.stdoutText[0] != '\0') {
    const size_t printed = both.out.find(std::string(row.stdoutText) + "\n");
    ASSERT_NE(printed, std::string::npos) << both.out;
    EXPECT_LT(logged, printed) << "the call is logged before the message";
  }
  EXPECT_EQ(both.status, static_cast<int>(row.outcome));
  const std::string outcome = "outcome " + std::to_string(row.outcome) + ": " +
                              OutcomeName(row.outcome) + "; exit status " +
                              std::to_string(row.outcome) + " (--exit-code)";
  EXPECT_NE(both.out.find(outcome), std::string::npos) << both.out;
}

INSTANTIATE_TEST_SUITE_P(Rows, VerboseFailures, testing::ValuesIn(kFailures),
                         [](const testing::TestParamInfo<FailureRow> &info) {
                           return std::string(info.param.name);
                         });

// Each outcome of the exit-code table is named as the usage text names it.
TEST(VerboseNames, OutcomesAsTheUsageTextNamesThem) {
  const struct {
    UpdateOutcome outcome;
    const char *name;
  } rows[] = {{kOutcomeBurnDone, "update done"},
              {kOutcomeNotFound, "no scanner found"},
              {kOutcomeImageError, "firmware image unavailable"},
              {kOutcomeNotReady, "scanner not ready"},
              {kOutcomeSendError, "image not sent"},
              {kOutcomeBurnError, "burn failed"},
              {kOutcomeCancelled, "cancelled by the user"}};
  for (const auto &row : rows) EXPECT_STREQ(OutcomeName(row.outcome), row.name);
}

TEST(VerboseNames, StatusMeaningsByPhase) {
  EXPECT_STREQ(StatusMeaning('R', 0), "ready");
  EXPECT_STREQ(StatusMeaning('R', 6), "ready");
  EXPECT_STREQ(StatusMeaning('R', 7), "busy");
  EXPECT_STREQ(StatusMeaning('R', 5), "busy");
  EXPECT_STREQ(StatusMeaning('B', 7), "burning");
  EXPECT_STREQ(StatusMeaning('B', 0), "done");
  EXPECT_STREQ(StatusMeaning('B', 6), "done");
  EXPECT_STREQ(StatusMeaning('B', 0xFFFF), "error");
  EXPECT_STREQ(StatusMeaning('D', 0xFFFF),
               "the download's answer, not looked at");
}

// The Windows error codes scanfw can meet: those its own calls fail with on
// Windows (device, service manager, resources, waits), those the Linux
// platform layer sets, and those the fake's faults use.
const uint32_t kMet[] = {
    ERROR_FILE_NOT_FOUND,
    ERROR_PATH_NOT_FOUND,
    ERROR_TOO_MANY_OPEN_FILES,
    ERROR_ACCESS_DENIED,
    ERROR_INVALID_HANDLE,
    ERROR_NOT_ENOUGH_MEMORY,
    ERROR_GEN_FAILURE,
    ERROR_SHARING_VIOLATION,
    ERROR_NOT_SUPPORTED,
    ERROR_INVALID_PARAMETER,
    ERROR_CALL_NOT_IMPLEMENTED,
    ERROR_SEM_TIMEOUT,
    ERROR_INSUFFICIENT_BUFFER,
    ERROR_BUSY,
    WAIT_TIMEOUT,
    ERROR_OPERATION_ABORTED,
    ERROR_IO_PENDING,
    ERROR_DEPENDENT_SERVICES_RUNNING,
    ERROR_INVALID_SERVICE_CONTROL,
    ERROR_SERVICE_REQUEST_TIMEOUT,
    ERROR_SERVICE_ALREADY_RUNNING,
    ERROR_SERVICE_DISABLED,
    ERROR_SERVICE_DOES_NOT_EXIST,
    ERROR_SERVICE_CANNOT_ACCEPT_CTRL,
    ERROR_SERVICE_NOT_ACTIVE,
    ERROR_SERVICE_MARKED_FOR_DELETE,
    ERROR_IO_DEVICE,
    ERROR_DEVICE_NOT_CONNECTED,
    ERROR_RESOURCE_DATA_NOT_FOUND,
    ERROR_RESOURCE_TYPE_NOT_FOUND,
    ERROR_RESOURCE_NAME_NOT_FOUND,
    ERROR_RESOURCE_LANG_NOT_FOUND,
};

TEST(ErrorNames, EachCodeOnceEachNameOnceEveryMetCodeNamed) {
  int count = 0;
  const ErrorName *rows = WindowsErrorNames(&count);
  ASSERT_GT(count, 0);
  std::set<uint32_t> codes;
  std::set<std::string> names;
  for (int i = 0; i < count; ++i) {
    EXPECT_TRUE(codes.insert(rows[i].code).second) << rows[i].code;
    EXPECT_TRUE(names.insert(rows[i].name).second) << rows[i].name;
  }
  for (uint32_t code : kMet) EXPECT_NE(WindowsErrorName(code), nullptr) << code;
  // The names are the platform's spelling of the same values.
  EXPECT_STREQ(WindowsErrorName(ERROR_DEVICE_NOT_CONNECTED),
               "ERROR_DEVICE_NOT_CONNECTED");
  EXPECT_STREQ(WindowsErrorName(1167), "ERROR_DEVICE_NOT_CONNECTED");
  EXPECT_STREQ(WindowsErrorName(121), "ERROR_SEM_TIMEOUT");
  EXPECT_STREQ(WindowsErrorName(31), "ERROR_GEN_FAILURE");
  EXPECT_EQ(WindowsErrorName(12345), nullptr);
}

// The system's text may be missing or fail: the log goes on without it, and
// the program's last error is what it was.
TEST(VerboseLog, WithoutTheSystemsTextTheCodeAndNameStay) {
  const fake::Scenario sc = LoadedScenario("data_write_fails");
  fake::Reset();
  fake::ApplyScenario(sc);
  // Every FormatMessageA of the run fails: each run arms the first one that
  // did not, until none is left.
  Streams s;
  std::vector<long> armed;
  for (int round = 0; round < 50; ++round) {
    fake::Reset();
    fake::ApplyScenario(sc);
    for (long index : armed) fake::Arm(index, fake::Way::Fails);
    s = RunStreams(Verbose(sc.args));
    long next = 0;
    const std::vector<fake::Entry> &log = fake::Entries();
    for (size_t i = 0; i < log.size() && next == 0; ++i)
      if (std::string(log[i].name) == "FormatMessageA" && log[i].ok)
        next = static_cast<long>(i) + 1;
    if (next == 0) break;
    armed.push_back(next);
  }
  EXPECT_GE(armed.size(), 2u);
  EXPECT_EQ(s.out, sc.expectedOutput);
  EXPECT_NE(s.err.find("WriteFile failed: error 31 ERROR_GEN_FAILURE\n"),
            std::string::npos)
      << s.err;
  EXPECT_EQ(fake::Violations(s.out), "");
}

// The log adds no allocation to a transfer, and without --verbose the
// program makes exactly the calls it made before: the log asks nothing.
TEST(VerboseLog, QuietRunsMakeNoCallOfTheLog) {
  const fake::Scenario sc = LoadedScenario("data_write_fails");
  fake::Reset();
  fake::ApplyScenario(sc);
  RunStreams(sc.args);
  for (const fake::Entry &e : fake::Entries())
    EXPECT_STRNE(e.name, "FormatMessageA");
  size_t quietCalls = fake::Entries().size();
  fake::Reset();
  fake::ApplyScenario(sc);
  RunStreams(Verbose(sc.args));
  EXPECT_GT(fake::Entries().size(), quietCalls);
}

TEST(VerboseLog, TheBulkWriteWithItsTimeAndRate) {
  fake::Scenario sc = LoadedScenario("success_en");
  fake::Reset();
  fake::ApplyScenario(sc);
  const Streams s = RunStreams(Verbose(sc.args));
  const std::string length = std::to_string(fake::Image().length);
  EXPECT_NE(s.err.find("bulk write: " + length + " bytes asked"),
            std::string::npos)
      << s.err;
  EXPECT_NE(s.err.find("bulk write done: " + length + " of " + length +
                       " bytes written in 0 ms, rate not measurable"),
            std::string::npos)
      << s.err;
  EXPECT_NE(s.err.find("command sent (firmware download): 20 02 00 00 2A 00 "
                       "08 00 04 00 00 00 00 00 04 00"),
            std::string::npos)
      << s.err;
  EXPECT_NE(s.err.find("waiting 6000 ms: pause before the first burn-status"),
            std::string::npos);
  EXPECT_NE(s.err.find("status word 0x0007: burning"), std::string::npos);
  EXPECT_NE(s.err.find("service STISVC status: SERVICE_RUNNING"),
            std::string::npos);
  EXPECT_NE(s.err.find("start type set to SERVICE_DISABLED"),
            std::string::npos);
  EXPECT_NE(s.err.find("service STISVC start type found: SERVICE_AUTO_START"),
            std::string::npos);
  EXPECT_NE(s.err.find("start type at the end: SERVICE_AUTO_START"),
            std::string::npos);
  EXPECT_NE(s.err.find("service STISVC at the end: "
                       "SERVICE_RUNNING, start type SERVICE_AUTO_START"),
            std::string::npos)
      << s.err;
  EXPECT_NE(s.err.find("firmware image: " + length + " bytes, SHA-256 " +
                       fake::kDefaultImageSha256 + ", in "),
            std::string::npos)
      << s.err;
}

}  // namespace
