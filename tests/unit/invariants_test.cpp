// The invariants and the entry points' fault injection, each shown to catch
// or make what it is meant to, on small hand-made runs.
#include "tests/fake/check/invariants.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "device/protocol.h"
#include "device/transport.h"
#include "messages/messages.h"
#include "messages/usage.h"
#include "service/wia_control.h"
#include "tests/fake/check/faults.h"
#include "tests/fake/fake_image.h"
#include "tests/fake/fake_scanner.h"

namespace {

const std::string kFound = std::string(MessageText(MsgDeviceFound, 0)) + "\n";

DeviceHandle OpenScanner() {
  fake::FakeDevice d;
  d.readiness = {7};  // busy, never ready
  fake::AddDevice(d);
  return OpenDevice("\\\\.\\usbscan0");
}

struct Case {
  const char *name;
  std::string out;              // what the run printed
  std::function<void()> calls;  // the platform calls it made, if any
  const char *expected;         // a violation containing this; "" none
  fake::RunKind kind = fake::RunKind::Whole;
};

const std::string kZero = "0\n";
const std::string kUsage = UsageText(kLanguageEnglish);

const Case kCases[] = {
    {"a sound run", kZero + kFound, nullptr, ""},
    {"text that is no message", "0\nhello\n", nullptr, "no known text"},
    {"no option line", kFound, nullptr, "option line"},
    {"progress and the configuration message",
     "0\nBurning firmware... (3)\nQueryServiceConfig failed (5)\n", nullptr,
     ""},
    {"an event left open", kZero,
     [] { CreateEventA(nullptr, FALSE, FALSE, nullptr); },
     "completion events left open: 1"},
    {"a scanner left open is allowed", kZero + kFound, [] { OpenScanner(); },
     ""},
    {"another device left open", kZero,
     [] {
       fake::FakeDevice d;
       d.vendor = 0x1234;
       fake::AddDevice(d);
       OpenDevice("\\\\.\\usbscan0");
     },
     "not the scanner left open"},
    {"an allocation on the transfer path", kZero,
     [] {
       HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
       int *volatile block = new int(1);
       delete block;
       CloseHandle(event);
     },
     "heap allocations on the transfer path: 1"},
    {"a service handle left open", kZero,
     [] { OpenSCManagerA(nullptr, nullptr, GENERIC_EXECUTE); },
     "service handle left open"},
    {"a block not freed", kZero, [] { LocalAlloc(0, 16); }, "blocks not freed"},
    {"download while busy", kZero,
     [] {
       DeviceHandle h = OpenScanner();
       ResponseBlock r;
       ExchangeCommand(h, ReadinessQuery(), &r, kLanguageEnglish);
       ExchangeCommand(h, FirmwareDownload(fake::Image().length), &r,
                       kLanguageEnglish);
     },
     "download command without a ready status"},
    {"bulk without a download", kZero,
     [] {
       WriteBulkData(OpenScanner(), fake::Image().data, fake::Image().length,
                     kLanguageEnglish);
     },
     "bulk write not right after a download"},
    {"burn query before the bulk", kZero,
     [] {
       ResponseBlock r;
       ExchangeCommand(OpenScanner(), BurnStatusQuery(), &r, kLanguageEnglish);
     },
     "burn query before the bulk write"},
    {"the service disabled and left so", kZero,
     [] { CWIAControl().SetStartType(SERVICE_DISABLED); },
     "not automatic start"},
    {"the service stopped and not started", kZero,
     [] {
       CWIAControl c;
       c.SuspendService();
       SERVICE_STATUS s;
       c.QueryStatus(&s);  // the resume, without a start
       c.SetStartType(SERVICE_AUTO_START);
     },
     "though it could start"},
    {"the service suspended and resumed", kZero,
     [] {
       CWIAControl c;
       c.SuspendService();
       c.ResumeService();
     },
     ""},
    {"the usage text answers", kUsage, nullptr, "", fake::RunKind::Asking},
    {"a device list answers", "\\\\.\\usbscan3 3A7C:4E21 0100\n" + kFound,
     nullptr, "", fake::RunKind::Asking},
    {"an answer with the option line", kZero + kFound, nullptr, "no known text",
     fake::RunKind::Asking},
    {"an answer that calls the service manager", kUsage,
     [] {
       CloseServiceHandle(OpenSCManagerA(nullptr, nullptr, GENERIC_EXECUTE));
     },
     "only answers called OpenSCManagerA", fake::RunKind::Asking},
    {"an answer that talks to the scanner", kFound,
     [] {
       DeviceHandle d = OpenScanner();
       ResponseBlock r;
       ExchangeCommand(d, ReadinessQuery(), &r, kLanguageEnglish);
       CloseDevice(d);
     },
     "moved data", fake::RunKind::Asking},
    {"an answer that keeps the scanner open", kFound, [] { OpenScanner(); },
     "device handles left open: 1", fake::RunKind::Asking},
};

class Invariants : public testing::TestWithParam<Case> {};

TEST_P(Invariants, CatchWhatTheyShould) {
  fake::Reset();
  if (GetParam().calls) GetParam().calls();
  const std::string v = fake::Violations(GetParam().out, GetParam().kind);
  if (*GetParam().expected == '\0') {
    EXPECT_EQ(v, "");
  } else {
    EXPECT_NE(v.find(GetParam().expected), std::string::npos) << v;
  }
  fake::Reset();  // frees what a case left behind on purpose
}

INSTANTIATE_TEST_SUITE_P(Cases, Invariants, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<Case> &info) {
                           std::string name = info.param.name;
                           std::replace(name.begin(), name.end(), ' ', '_');
                           return name;
                         });

// Each way a call can fail, as the program sees it.
TEST(FaultInjection, TheArmedCallFailsAsAskedAndIsLogged) {
  fake::Reset();
  fake::Arm(2, fake::Way::NullHandle);
  HANDLE first = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  HANDLE second = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(second, nullptr);
  ASSERT_EQ(fake::Entries().size(), 2u);
  EXPECT_EQ(fake::Entries()[1].injected, fake::Way::NullHandle);
  EXPECT_FALSE(fake::Entries()[1].ok);
  CloseHandle(first);
}

TEST(FaultInjection, ShortAndLongCountsAndWaits) {
  fake::Reset();
  DeviceHandle h = OpenScanner();
  const long base = static_cast<long>(fake::Entries().size());
  // Each exchange: event, write, wait, result, read, wait, result, close.
  fake::Arm(base + 4, fake::Way::Short);  // the write's result
  ResponseBlock r;
  EXPECT_FALSE(ExchangeCommand(h, ReadinessQuery(), &r, kLanguageEnglish));
  EXPECT_EQ(fake::Entries()[base + 3].value, kCommandBlockSize - 1);
  const long next = static_cast<long>(fake::Entries().size());
  fake::Arm(next + 3, fake::Way::Timeout);
  EXPECT_FALSE(ExchangeCommand(h, ReadinessQuery(), &r, kLanguageEnglish));
  EXPECT_EQ(fake::Entries()[next + 2].value, WAIT_TIMEOUT);
  EXPECT_EQ(fake::OpenHandles(fake::HandleKind::Event), 0);
}

// The count a transfer call hands back itself is bent as well, not only the
// one its completion reports.
TEST(FaultInjection, ShortAndLongBendTheCountTheCallReturns) {
  for (const auto &[way, delta] :
       {std::pair(fake::Way::Short, -1), std::pair(fake::Way::Long, 1)}) {
    fake::Reset();
    DeviceHandle h = OpenScanner();
    OVERLAPPED ov = {};
    ov.hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    const CommandBlock query = ReadinessQuery();
    ResponseBlock response;
    DEVICE_DESCRIPTOR d;
    const std::function<BOOL(DWORD *)> calls[] = {
        [&](DWORD *n) {
          return WriteFile(h, query.bytes, kCommandBlockSize, n, &ov);
        },
        [&](DWORD *n) {
          return ReadFile(h, response.bytes, kResponseBlockSize, n, &ov);
        },
        [&](DWORD *n) {
          return DeviceIoControl(h, IOCTL_GET_DEVICE_DESCRIPTOR, &d, sizeof(d),
                                 &d, sizeof(d), n, nullptr);
        }};
    DWORD plain[3] = {};
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(calls[i](&plain[i]));
    for (int i = 0; i < 3; ++i) {
      SCOPED_TRACE(i);
      fake::Arm(static_cast<long>(fake::Entries().size()) + 1, way);
      DWORD bent = 0;
      EXPECT_TRUE(calls[i](&bent));
      EXPECT_EQ(bent, plain[i] + delta);
    }
    CloseHandle(ov.hEvent);
  }
}

TEST(FaultInjection, AWayThatDoesNotApplyLeavesTheCallAlone) {
  fake::Reset();
  fake::Arm(1, fake::Way::Short);
  EXPECT_NE(CreateEventA(nullptr, FALSE, FALSE, nullptr), nullptr);
  EXPECT_EQ(fake::Entries()[0].injected, fake::Way::None);
}

TEST(FaultInjection, EveryCallWithWaysIsOneTheProgramMakes) {
  for (const char *name :
       {"CreateFileA", "DeviceIoControl", "WriteFile", "ReadFile",
        "CreateEventA", "WaitForSingleObject", "GetOverlappedResult",
        "FindResourceA", "SizeofResource", "OpenSCManagerA",
        "QueryServiceStatus", "QueryServiceConfigA", "ChangeServiceConfigA",
        "ControlService", "StartServiceA", "LocalAlloc"})
    EXPECT_FALSE(fake::WaysFor(name).empty()) << name;
  EXPECT_TRUE(fake::WaysFor("GetTickCount").empty());
}

// The exit status: 0 without --exit-code, else the code of the last verdict.
TEST(Invariants, TheExitStatusFollowsTheVerdict) {
  const std::string done = std::string(MessageText(MsgBurnDone, 0)) + "\n";
  const std::string data = std::string(MessageText(MsgSendDataError, 0)) + "\n";
  const struct {
    std::vector<std::string> args;
    std::string out;
    int status;
    const char *expected;
  } cases[] = {
      {{}, data, 0, ""},
      {{}, data, 4, "exit status 4, not 0"},
      {{"--exit-code"}, data, 4, ""},
      {{"--exit-code"}, data, 0, "exit status 0, not 4"},
      {{"--exit-code", "-a"}, done, 0, ""},
      {{"-b", "--exit-code"}, data, 0, ""},
      {{"--exit-code"}, "0\n", 0, "no verdict"},
      {{"--exit-code", "--list"}, "", 0, ""},
  };
  for (const auto &c : cases) {
    fake::Reset();
    std::vector<std::string> v;
    fake::CheckExitStatus(c.args, c.out, c.status, &v);
    std::string joined;
    for (const std::string &line : v) joined += line + "\n";
    if (*c.expected == '\0') {
      EXPECT_EQ(joined, "") << c.out;
    } else {
      EXPECT_NE(joined.find(c.expected), std::string::npos) << joined;
    }
  }
}

}  // namespace
