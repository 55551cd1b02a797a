#include "service/wia_control.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "messages/messages.h"
#include "tests/fake/fake_platform.h"
#include "tests/fake/fake_service.h"
#include "tests/unit/capture.h"

namespace {

using Calls = std::vector<std::string>;

const char kOpenManager[] =
    "OpenSCManagerA machine=null database=null access=0x20000000";
const char kOpenService[] =
    "OpenServiceA manager#1 name=\"STISVC\" access=0x37";
const char kQuery[] = "QueryServiceStatus service#1";
const char kStop[] = "ControlService service#1 control=1";
const char kStart[] = "StartServiceA service#1 argc=0 argv=null";
const char kProbe[] =
    "QueryServiceConfigA service#1 size=0 block=null needed=set";
const char kTick[] = "GetTickCount";
const char kFree[] = "LocalFree";
const char kCloseManager[] = "CloseServiceHandle manager#1";
const char kCloseService[] = "CloseServiceHandle service#1";

std::string Alloc() {
  return "LocalAlloc 0," + std::to_string(fake::ServiceConfigBytes());
}
std::string Fill() {
  return "QueryServiceConfigA service#1 size=" +
         std::to_string(fake::ServiceConfigBytes()) +
         " block=set needed=set zeroed=1";
}
// The whole start-type change from the size probe to the freed block.
Calls SetTo(int startType) {
  return {kProbe, Alloc(), Fill(),
          "ChangeServiceConfigA service#1 type=0xffffffff start=0x" +
              std::to_string(startType) +
              " error=0xffffffff path=null group=null tag=null deps=null "
              "account=null password=null display=null",
          kFree};
}
// n reads of a poll whose wait hint is 0: the floor's pause after each but
// the last, which shows the state awaited.
Calls Polls(int n) {
  Calls calls;
  for (int i = 0; i < n; ++i)
    calls.insert(calls.end(),
                 {kTick, kQuery, kTick, i + 1 < n ? "Sleep 100" : "Sleep 0"});
  return calls;
}
Calls Join(std::initializer_list<Calls> parts) {
  Calls all;
  for (const Calls &p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}
// Both handles opened and the status read, then the rest.
Calls Opened(std::initializer_list<Calls> rest = {}) {
  return Join({{kOpenManager, kOpenService, kQuery}, Join(rest)});
}
// The pauses among the calls, in milliseconds.
std::vector<uint32_t> PausesOf(const Calls &calls) {
  std::vector<uint32_t> pauses;
  for (const std::string &call : calls)
    if (call.rfind("Sleep ", 0) == 0)
      pauses.push_back(static_cast<uint32_t>(std::stoul(call.substr(6))));
  return pauses;
}
// n pauses of `ms`, then the others.
std::vector<uint32_t> Pauses(int n, uint32_t ms,
                             std::vector<uint32_t> then = {}) {
  std::vector<uint32_t> pauses(n, ms);
  pauses.insert(pauses.end(), then.begin(), then.end());
  return pauses;
}

// Every field 0xAAAAAAAA: shows whether anything wrote the record.
SERVICE_STATUS Pattern() {
  SERVICE_STATUS s;
  std::memset(&s, 0xAA, sizeof s);
  return s;
}
bool IsPattern(const SERVICE_STATUS &s) {
  const SERVICE_STATUS pattern = Pattern();
  return std::memcmp(&s, &pattern, sizeof s) == 0;
}

class WiaControl : public testing::Test {
 protected:
  void SetUp() override { fake::Reset(); }

  // Whatever a test did, once the object is gone every handle it opened has
  // been closed exactly once and every block it allocated freed.
  void TearDown() override {
    Destroy();
    EXPECT_EQ(fake::OpenHandles(fake::HandleKind::Manager), 0);
    EXPECT_EQ(fake::OpenHandles(fake::HandleKind::Service), 0);
    EXPECT_EQ(fake::S().badCloses, 0);
    EXPECT_EQ(Count("CloseServiceHandle"),
              fake::HandlesCreated(fake::HandleKind::Manager) +
                  fake::HandlesCreated(fake::HandleKind::Service));
    EXPECT_EQ(fake::S().blocksAllocated, fake::S().blocksFreed);
    EXPECT_TRUE(fake::S().liveBlocks.empty());
  }

  CWIAControl &W() {
    if (!wia_) wia_.reset(new CWIAControl);
    return *wia_;
  }
  void Destroy() { wia_.reset(); }
  // The calls the body makes.
  template <typename F>
  Calls CallsIn(F body) {
    const size_t mark = Mark();
    body();
    return Since(mark);
  }
  Calls Suspended() {
    return CallsIn([&] { W().SuspendService(); });
  }
  // The calls ResumeService makes; it returns `result`.
  Calls Resumed(BOOL result = TRUE) {
    return CallsIn([&] { EXPECT_EQ(W().ResumeService(), result); });
  }
  Calls Destroyed() {
    return CallsIn([&] { Destroy(); });
  }
  // A probe that fails and leaves the record alone: the calls so far.
  Calls FailedProbe() {
    SERVICE_STATUS status = Pattern();
    EXPECT_EQ(Capture([&] { return W().QueryStatus(&status); }), Gives(FALSE));
    EXPECT_TRUE(IsPattern(status));
    return Since(0);
  }

  size_t Mark() const { return fake::S().calls.size(); }
  // The calls made since the mark, as "Name detail".
  Calls Since(size_t mark) const {
    Calls out;
    for (size_t i = mark; i < fake::S().calls.size(); ++i) {
      const fake::Call &c = fake::S().calls[i];
      out.push_back(c.detail.empty() ? c.name : c.name + " " + c.detail);
    }
    return out;
  }
  int Count(const std::string &name) const {
    return static_cast<int>(fake::CallsNamed(name).size());
  }
  // The probe as the update makes it: does the service count as up?
  bool Probe() {
    SERVICE_STATUS status{};
    return W().QueryStatus(&status) && status.dwControlsAccepted != 0;
  }

  std::unique_ptr<CWIAControl> wia_;
};

// --- Construction, probe and handles ---------------------------------------

TEST_F(WiaControl, BuildingAndDestroyingAnUnusedObjectCallsNothing) {
  W();
  Destroy();
  EXPECT_TRUE(fake::S().calls.empty());
}

TEST_F(WiaControl, ProbeOpensBothHandlesWithExactRightsAndCopiesTheRecord) {
  fake::Service().waitHint = 77;
  SERVICE_STATUS status = Pattern();
  EXPECT_EQ(W().QueryStatus(&status), TRUE);
  EXPECT_EQ(Since(0), Opened());
  EXPECT_EQ(status.dwServiceType, SERVICE_WIN32_SHARE_PROCESS);
  EXPECT_EQ(status.dwCurrentState, SERVICE_RUNNING);
  EXPECT_EQ(status.dwControlsAccepted, SERVICE_ACCEPT_STOP);
  EXPECT_EQ(status.dwWin32ExitCode, 0u);
  EXPECT_EQ(status.dwServiceSpecificExitCode, 0u);
  EXPECT_EQ(status.dwCheckPoint, 0u);
  EXPECT_EQ(status.dwWaitHint, 77u);
}

TEST_F(WiaControl, StoppedServiceIsNotUpAndOnlyTheProbeTouchesIt) {
  fake::Service().state = SERVICE_STOPPED;
  EXPECT_EQ(Capture([&] { return Probe(); }), Gives(false));
  EXPECT_EQ(Since(0), Opened());
  EXPECT_EQ(Destroyed(), (Calls{kCloseManager, kCloseService}));
  EXPECT_EQ(fake::DescribeService(), "stopped auto");
}

TEST_F(WiaControl, NotInstalledFailsSilentlyAndDestructionCallsNothing) {
  fake::Service().installed = false;
  EXPECT_EQ(FailedProbe(), (Calls{kOpenManager, kOpenService, kCloseManager}));
  EXPECT_EQ(Destroyed(), Calls{});
  EXPECT_EQ(fake::DescribeService(), "absent");
}

TEST_F(WiaControl, ServiceThatCannotBeOpenedClosesTheManager) {
  fake::Service().openDenied = true;
  EXPECT_EQ(FailedProbe(), (Calls{kOpenManager, kOpenService, kCloseManager}));
  EXPECT_EQ(Destroyed(), Calls{});
}

TEST_F(WiaControl, ManagerThatCannotBeOpenedLeavesNothingHeld) {
  fake::Service().managerOpens = false;
  EXPECT_EQ(FailedProbe(), (Calls{kOpenManager}));
  // Every later use tries again.
  EXPECT_EQ(FailedProbe(), (Calls{kOpenManager, kOpenManager}));
  EXPECT_EQ(Destroyed(), Calls{});
}

TEST_F(WiaControl, FailedStatusQueryClosesServiceThenManager) {
  fake::Service().statusQueryFailsAt = 1;
  EXPECT_EQ(FailedProbe(), Opened({{kCloseService, kCloseManager}}));
  EXPECT_EQ(Destroyed(), Calls{});
}

TEST_F(WiaControl, NullRecordCallsNothingAndKeepsTheHandles) {
  EXPECT_EQ(W().QueryStatus(nullptr), FALSE);
  EXPECT_TRUE(fake::S().calls.empty());
  SERVICE_STATUS status{};
  ASSERT_EQ(W().QueryStatus(&status), TRUE);
  size_t mark = Mark();
  EXPECT_EQ(W().QueryStatus(nullptr), FALSE);
  EXPECT_EQ(Since(mark), Calls{});
  // The held handles are used as they are: no reopening.
  EXPECT_EQ(W().QueryStatus(&status), TRUE);
  EXPECT_EQ(Since(mark), Calls{kQuery});
  EXPECT_EQ(Destroyed(), (Calls{kCloseManager, kCloseService}));
}

TEST_F(WiaControl, QueryAfterAFailedQueryOpensBothHandlesAfresh) {
  fake::Service().statusQueryFailsAt = 2;
  SERVICE_STATUS status{};
  EXPECT_EQ(W().QueryStatus(&status), TRUE);
  EXPECT_EQ(W().QueryStatus(&status), FALSE);
  status = Pattern();
  EXPECT_EQ(W().QueryStatus(&status), TRUE);
  EXPECT_EQ(status.dwCurrentState, SERVICE_RUNNING);
  EXPECT_EQ(Since(0),
            Opened({{kQuery, kCloseService, kCloseManager,  //
                     kOpenManager,
                     "OpenServiceA manager#2 name=\"STISVC\" access=0x37",
                     "QueryServiceStatus service#2"}}));
  EXPECT_EQ(Destroyed(), (Calls{"CloseServiceHandle manager#2",
                                "CloseServiceHandle service#2"}));
}

TEST_F(WiaControl, DestructionClosesManagerBeforeService) {
  SERVICE_STATUS status{};
  ASSERT_EQ(W().QueryStatus(&status), TRUE);
  EXPECT_EQ(Destroyed(), (Calls{kCloseManager, kCloseService}));
}

// --- A whole run: suspend, then resume -------------------------------------

TEST_F(WiaControl, RunningServiceIsStoppedAndDisabledThenRestartedAutomatic) {
  ASSERT_TRUE(Probe());
  // Wait hint 0: stop pending, then stopped, 100 ms apart.
  EXPECT_EQ(Capture([&] { return Suspended(); }),
            Gives(Join({{kQuery, kStop}, Polls(2), SetTo(4)})));
  EXPECT_EQ(fake::DescribeService(), "stopped disabled");
  EXPECT_EQ(fake::S().sleptMs, 100u);

  // Start pending, then running.
  EXPECT_EQ(Capture([&] { return Resumed(); }),
            Gives(Join({SetTo(2), {kQuery, kStart}, Polls(2)})));
  EXPECT_EQ(fake::DescribeService(), "running auto");
  EXPECT_FALSE(fake::ServiceConfigOtherwiseChanged());
  EXPECT_EQ(fake::S().blocksAllocated, 2);
}

TEST_F(WiaControl, StopControlAndPollsFillTheObjectsOwnRecord) {
  fake::Service().stopPendingQueries = 3;
  W().SuspendService();
  std::vector<fake::Call> queries = fake::CallsNamed("QueryServiceStatus");
  std::vector<fake::Call> stops = fake::CallsNamed("ControlService");
  ASSERT_EQ(queries.size(), 5u);
  ASSERT_EQ(stops.size(), 1u);
  ASSERT_NE(stops[0].buffer, nullptr);
  for (const fake::Call &q : queries) EXPECT_EQ(q.buffer, stops[0].buffer);
}

TEST_F(WiaControl, ManualStartEndsTheRunAutomatic) {
  fake::Service().startType = SERVICE_DEMAND_START;
  ASSERT_TRUE(Probe());
  W().SuspendService();
  EXPECT_EQ(fake::DescribeService(), "stopped disabled");
  EXPECT_EQ(W().ResumeService(), TRUE);
  EXPECT_EQ(fake::DescribeService(), "running auto");
}

TEST_F(WiaControl, AlreadyDisabledServiceIsStoppedWithoutAChangeRequest) {
  fake::Service().startType = SERVICE_DISABLED;
  W().SuspendService();
  EXPECT_EQ(fake::DescribeService(), "stopped disabled");
  EXPECT_EQ(Count("ChangeServiceConfigA"), 0);
  size_t mark = Mark();
  EXPECT_EQ(W().SetStartType(SERVICE_DISABLED), TRUE);
  EXPECT_EQ(Since(mark), (Calls{kProbe, Alloc(), Fill(), kFree}));
}

TEST_F(WiaControl, PausedServiceIsDisabledButNeitherStoppedNorStarted) {
  fake::Service().state = SERVICE_PAUSED;
  ASSERT_TRUE(Probe());
  EXPECT_EQ(Suspended(), Join({{kQuery}, SetTo(4)}));
  EXPECT_EQ(fake::DescribeService(), "paused disabled");
  EXPECT_EQ(Resumed(), Join({SetTo(2), {kQuery}}));
  EXPECT_EQ(fake::DescribeService(), "paused auto");
}

TEST_F(WiaControl, RefusedStopLeavesTheStartTypeUntilTheResume) {
  fake::Service().stopRefused = true;
  fake::Service().startType = SERVICE_DEMAND_START;
  ASSERT_TRUE(Probe());
  EXPECT_EQ(Suspended(), (Calls{kQuery, kStop}));
  EXPECT_EQ(fake::DescribeService(), "running demand");
  EXPECT_EQ(Resumed(), Join({SetTo(2), {kQuery}}));
  EXPECT_EQ(fake::DescribeService(), "running auto");
}

TEST_F(WiaControl, ServiceStoppedBetweenProbeAndSuspendIsDisabledThenStarted) {
  ASSERT_TRUE(Probe());
  fake::Service().state = SERVICE_STOPPED;
  EXPECT_EQ(Suspended(), Join({{kQuery}, SetTo(4)}));
  EXPECT_EQ(Resumed(), Join({SetTo(2), {kQuery, kStart}, Polls(2)}));
  EXPECT_EQ(fake::DescribeService(), "running auto");
}

// The poll after the accepted stop loses sight of the service: the resume
// finds the stop it asked for still pending, waits for it, then starts.
TEST_F(WiaControl, ResumeWaitsForItsOwnPendingStopThenStarts) {
  ASSERT_TRUE(Probe());                    // status query 1
  fake::Service().statusQueryFailsAt = 3;  // the stop poll's first query
  W().SuspendService();
  EXPECT_EQ(fake::DescribeService(), "stop-pending disabled");
  EXPECT_EQ(Resumed(),
            Join({SetTo(2), {kQuery}, Polls(1), {kStart}, Polls(2)}));
  EXPECT_EQ(fake::DescribeService(), "running auto");
}

// A stop this controller never asked for is not its business.
TEST_F(WiaControl, ResumeLeavesAStopPendingItDidNotRequest) {
  fake::Service().state = SERVICE_STOP_PENDING;
  EXPECT_FALSE(Resumed().empty());
  EXPECT_EQ(Count("StartServiceA"), 0);
  EXPECT_EQ(Count("Sleep"), 0);
  EXPECT_EQ(fake::DescribeService(), "stop-pending auto");
}

TEST_F(WiaControl,
       SuspendWithoutTheServiceTriesToOpenItAgainAndChangesNothing) {
  fake::Service().installed = false;
  EXPECT_EQ(Capture([&] { return Suspended(); }),
            Gives(Calls{kOpenManager, kOpenService, kCloseManager, kOpenManager,
                        "OpenServiceA manager#2 name=\"STISVC\" access=0x37",
                        "CloseServiceHandle manager#2"}));
}

// --- The start-type change -------------------------------------------------

TEST_F(WiaControl, SetStartTypeOpensTheHandlesItself) {
  fake::Service().startType = SERVICE_DEMAND_START;
  EXPECT_EQ(W().SetStartType(SERVICE_AUTO_START), TRUE);
  EXPECT_EQ(Since(0), Opened({SetTo(2)}));
  EXPECT_EQ(fake::DescribeService(), "running auto");
}

TEST_F(WiaControl, ConfigProbeFailingWithAnotherErrorPrintsItWithoutLineFeed) {
  fake::Service().configProbeError = ERROR_ACCESS_DENIED;
  fake::Service().startType = SERVICE_DEMAND_START;
  ASSERT_TRUE(Probe());
  size_t mark = Mark();
  std::string out = CaptureOutput([&] {
    W().SuspendService();
    PrintMessage(MsgLoadingFirmware, kLanguageEnglish);
  });
  EXPECT_EQ(out, "QueryServiceConfig failed (5)Loading firmware...\n\n");
  EXPECT_EQ(Count("LocalAlloc"), 0);
  EXPECT_EQ(Count("ChangeServiceConfigA"), 0);
  EXPECT_EQ(Since(mark).back(), kProbe);
  EXPECT_EQ(fake::DescribeService(), "stopped demand");
  // The resume meets the same fault and does not start the service.
  EXPECT_EQ(Capture([&] { return W().ResumeService(); }),
            Gives(FALSE, std::string("QueryServiceConfig failed (5)")));
  EXPECT_EQ(Count("StartServiceA"), 0);
  EXPECT_EQ(fake::DescribeService(), "stopped demand");
}

// A start-type change that fails, and what it leaves behind.
struct Refusal {
  const char *name;
  void (*setUp)();  // after the probe, if there is one
  bool probe;
  const char *out;
  Calls calls;  // of the change alone after a probe
  int blocks;   // allocated
};

void PrintTo(const Refusal &r, std::ostream *os) { *os << r.name; }

class WiaRefusal : public WiaControl,
                   public testing::WithParamInterface<Refusal> {};

TEST_P(WiaRefusal, FailsWithTheServiceUnchanged) {
  const Refusal &r = GetParam();
  ASSERT_TRUE(!r.probe || Probe());
  r.setUp();
  EXPECT_EQ(CallsIn([&] {
              EXPECT_EQ(
                  Capture([&] { return W().SetStartType(SERVICE_DISABLED); }),
                  Gives(FALSE, std::string(r.out)));
            }),
            r.calls);
  EXPECT_EQ(fake::S().blocksAllocated, r.blocks);
  EXPECT_EQ(fake::DescribeService(), "running auto");
}

const Refusal kRefusals[] = {
    {"ErrorCodeIsPrintedAsSignedDecimal",
     [] { fake::Service().configProbeError = 0x80070005u; }, false,
     "QueryServiceConfig failed (-2147024891)", Opened({{kProbe}}), 0},
    {"SecondConfigQueryFailingFreesTheBlock",
     [] {
       fake::Service().configSecondFails = true;
       fake::Service().configSecondError = 1053;
     },
     false, "QueryServiceConfig failed (1053)",
     Opened({{kProbe, Alloc(), Fill(), kFree}}), 1},
    // ERROR_INSUFFICIENT_BUFFER
    {"BlockTooSmallForAGrownConfigurationIsAnOrdinaryFailure",
     [] { fake::Service().configSecondFails = true; }, false,
     "QueryServiceConfig failed (122)",
     Opened({{kProbe, Alloc(), Fill(), kFree}}), 1},
    {"BlockThatCannotBeAllocatedEndsWithTheAllocationsError",
     [] { fake::Service().allocFails = true; }, true,
     "QueryServiceConfig failed (8)", Calls{kProbe, Alloc()}, 0},
    {"ProbeThatSucceedsLeavesNoBlockAndFails",
     [] {
       fake::Service().configProbeError = ERROR_SUCCESS;
       SetLastError(1726);
     },
     true, "QueryServiceConfig failed (1726)", Calls{kProbe, kProbe}, 0},
    {"RefusedChangeFailsSilentlyAndFreesTheBlock",
     [] { fake::Service().changeFails = true; }, true, "", SetTo(4), 1},
};
INSTANTIATE_TEST_SUITE_P(SetStartType, WiaRefusal, testing::ValuesIn(kRefusals),
                         RowName());

TEST_F(WiaControl, ResumeWhoseChangeIsRefusedStopsThere) {
  fake::Service().state = SERVICE_STOPPED;
  fake::Service().startType = SERVICE_DISABLED;
  fake::Service().changeFails = true;
  EXPECT_EQ(W().ResumeService(), FALSE);
  EXPECT_EQ(Since(0), Opened({SetTo(2)}));
  EXPECT_EQ(fake::DescribeService(), "stopped disabled");
}

// --- Failures around the polls ---------------------------------------------

TEST_F(WiaControl, FailedQueryInTheStopPollKeepsTheHandlesAndStillDisables) {
  fake::Service().statusQueryFailsAt = 3;  // probe, suspend, then the poll
  fake::Service().waitHint = 100;
  ASSERT_TRUE(Probe());
  EXPECT_EQ(Suspended(), Join({{kQuery, kStop, kTick, kQuery}, SetTo(4)}));
  EXPECT_EQ(fake::DescribeService(), "stop-pending disabled");
  EXPECT_EQ(fake::OpenHandles(fake::HandleKind::Service), 1);
}

TEST_F(WiaControl, StopPollCountsOnlyExactlyTrueAsAnAnswer) {
  fake::Service().statusTrueValue = 2;
  fake::Service().waitHint = 100;
  W().SuspendService();
  // The probe takes any non-zero result; the poll ends at its first read.
  EXPECT_EQ(Since(0), Opened({{kStop, kTick, kQuery}, SetTo(4)}));
  EXPECT_EQ(fake::S().sleptMs, 0u);
}

TEST_F(WiaControl, RefusedStartReturnsZeroWithTheStartTypeAutomatic) {
  fake::Service().state = SERVICE_STOPPED;
  fake::Service().startType = SERVICE_DEMAND_START;
  fake::Service().startRefused = true;
  EXPECT_EQ(Resumed(FALSE), Opened({SetTo(2), {kQuery, kStart}}));
  EXPECT_EQ(fake::DescribeService(), "stopped auto");
}

TEST_F(WiaControl, FailedQueryInTheStartPollStillReturnsOne) {
  fake::Service().state = SERVICE_STOPPED;
  fake::Service().statusQueryFailsAt = 3;  // open, resume's query, poll
  EXPECT_EQ(W().ResumeService(), TRUE);
  EXPECT_EQ(Since(0).back(), kQuery);
  EXPECT_EQ(Count("StartServiceA"), 1);
  EXPECT_EQ(Count("Sleep"), 0);
  EXPECT_EQ(fake::DescribeService(), "start-pending auto");
}

TEST_F(WiaControl, FailedQueryBeforeTheStartReturnsOneWithoutStarting) {
  fake::Service().state = SERVICE_STOPPED;
  fake::Service().statusQueryFailsAt = 2;  // the resume's own status query
  EXPECT_EQ(W().ResumeService(), TRUE);
  EXPECT_EQ(Count("StartServiceA"), 0);
  EXPECT_EQ(fake::DescribeService(), "stopped auto");
}

// --- The deadline of the polls ---------------------------------------------

TEST_F(WiaControl, EachPollHasItsOwnDeadline) {
  fake::Service().stopPendingQueries = -1;
  fake::Service().waitHint = 1500;
  W().SuspendService();
  EXPECT_EQ(fake::S().sleptMs, 60000u);
  // The service finally stops; the resume starts it and waits afresh.
  fake::Service().state = SERVICE_STOPPED;
  fake::Service().startPendingQueries = -1;
  EXPECT_EQ(W().ResumeService(), TRUE);
  EXPECT_EQ(fake::S().sleptMs, 120000u);
  EXPECT_EQ(Count("StartServiceA"), 1);
}

// A poll against a service slow to get where it was sent.
struct Poll {
  const char *name;
  bool resume;      // the start poll, the service stopped; else the stop poll
  bool probe;       // the handles held from a probe first
  int pending;      // pending answers before the final state; -1: no end
  DWORD waitHint;   //
  uint32_t readMs;  // each status read takes this long
  void (*more)();   // anything else to set up; may be null
  const char *end;  // the service afterwards
  std::vector<uint32_t> pauses;  // of the suspend or the resume
  uint32_t slept;                // all the pauses together
  uint32_t tick;                 // the clock at the end
  int queries;                   // status queries in all
};

void PrintTo(const Poll &p, std::ostream *os) { *os << p.name; }

class WiaPoll : public WiaControl, public testing::WithParamInterface<Poll> {};

TEST_P(WiaPoll, EndsAtItsDeadlineAndNoPauseRunsPastIt) {
  const Poll &p = GetParam();
  fake::FakeService &service = fake::Service();
  if (p.resume) service.state = SERVICE_STOPPED;
  (p.resume ? service.startPendingQueries : service.stopPendingQueries) =
      p.pending;
  service.waitHint = p.waitHint;
  service.statusQueryMs = p.readMs;
  if (p.more) p.more();
  ASSERT_TRUE(!p.probe || Probe());
  const std::vector<uint32_t> pauses =
      PausesOf(p.resume ? Resumed() : Suspended());
  EXPECT_EQ(pauses, p.pauses);
  EXPECT_EQ(fake::S().sleptMs, p.slept);
  EXPECT_EQ(fake::S().tick, p.tick);
  EXPECT_EQ(Count("QueryServiceStatus"), p.queries);
  // The caller disables the service all the same.
  EXPECT_EQ(fake::DescribeService(), p.end);
}

const Poll kPolls[] = {
    // One read at each whole second from 0 to 59.
    {"ServiceThatNeverStopsEndsTheStopPollAtTheDeadline", false, true, -1, 1000,
     0, nullptr, "stop-pending disabled", Pauses(60, 1000), 60000, 60000,
     2 + 60},
    // 59 pending answers at 0..58 s, stopped at 59 s.
    {"ServiceThatStopsJustInsideTheBoundEndsStopped", false, false, 59, 1000, 0,
     nullptr, "stopped disabled", Pauses(60, 1000), 60000, 60000, 1 + 60},
    // One more pending answer, and the deadline comes first.
    {"ServiceThatStopsJustPastTheBoundIsLeftStopping", false, false, 60, 1000,
     0, nullptr, "stop-pending disabled", Pauses(60, 1000), 60000, 60000,
     1 + 60},
    // Wait hint 0 and 7 ms a read: 107 ms a round from 7 ms on; the 561st
    // read at 59934 leaves 73 ms.
    {"ZeroWaitHintPollEndsAtTheDeadlineAsTheClockMoves", false, false, -1, 0, 7,
     nullptr, "stop-pending disabled", Pauses(560, 100, {73}), 56073, 60007,
     562},
    {"HugeWaitHintIsCutToTheTimeLeft", false, true, -1, 0xFFFFFFFFu, 0, nullptr,
     "stop-pending disabled", Pauses(1, 60000), 60000, 60000, 3},
    {"LastPauseIsCappedAtTheTimeLeft", false, false, -1, 7000, 0, nullptr,
     "stop-pending disabled", Pauses(8, 7000, {4000}), 60000, 60000, 10},
    // A slow manager: 35 rounds of 1700 ms reach 59500; the 36th read ends
    // at 60200, 60900 with the suspend's own first read.
    {"ReadThatRunsPastTheDeadlineIsFollowedByNoPause", false, false, -1, 1000,
     700, nullptr, "stop-pending disabled", Pauses(35, 1000, {0}), 35000, 60900,
     37},
    // Two pending answers and the stopped one, each followed by its pause.
    {"PauseOfTheWaitHintFollowsEveryReadIncludingTheLast", false, false, 2, 250,
     0, nullptr, "stopped disabled", Pauses(3, 250), 750, 750, 4},
    // Three pending answers of a wait hint of 0, then stopped.
    {"ZeroWaitHintLeaves100MsBetweenQueries", false, false, 3, 0, 0, nullptr,
     "stopped disabled", Pauses(3, 100, {0}), 300, 300, 5},
    {"DeadlineIsMeasuredAcrossTheWrapOfTheTickCounter", false, false, -1, 1000,
     0, [] { fake::S().tick = 0xFFFFFFFFu - 5000; }, "stop-pending disabled",
     Pauses(60, 1000), 60000, 60000u - 5000 - 1, 61},
    {"ServiceThatNeverRunsEndsTheStartPollAtTheDeadline", true, false, -1, 1000,
     0, nullptr, "start-pending auto", Pauses(60, 1000), 60000, 60000, 62},
    {"ServiceThatFallsBackToStoppedEndsTheStartPollAtTheDeadline", true, false,
     1, 1000, 0, [] { fake::Service().startFinalState = SERVICE_STOPPED; },
     "stopped auto", Pauses(60, 1000), 60000, 60000, 62},
};
INSTANTIATE_TEST_SUITE_P(Deadline, WiaPoll, testing::ValuesIn(kPolls),
                         RowName());

}  // namespace
