#include "service/wia_control.h"

#include <gtest/gtest.h>

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
std::string Change(int startType) {
  return "ChangeServiceConfigA service#1 type=0xffffffff start=0x" +
         std::to_string(startType) +
         " error=0xffffffff path=null group=null tag=null deps=null "
         "account=null password=null display=null";
}
// The whole start-type change from the size probe to the freed block.
Calls SetTo(int startType) {
  return {kProbe, Alloc(), Fill(), Change(startType), kFree};
}
// n reads of a poll whose wait hint is 0.
Calls Polls(int n) {
  Calls calls;
  for (int i = 0; i < n; ++i)
    calls.insert(calls.end(), {kTick, kQuery, kTick, "Sleep 0"});
  return calls;
}
Calls Join(std::initializer_list<Calls> parts) {
  Calls all;
  for (const Calls &p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

SERVICE_STATUS Pattern() {
  SERVICE_STATUS s;
  s.dwServiceType = s.dwCurrentState = s.dwControlsAccepted = 0xAAAAAAAA;
  s.dwWin32ExitCode = s.dwServiceSpecificExitCode = 0xAAAAAAAA;
  s.dwCheckPoint = s.dwWaitHint = 0xAAAAAAAA;
  return s;
}

bool IsPattern(const SERVICE_STATUS &s) {
  return s.dwServiceType == 0xAAAAAAAA && s.dwCurrentState == 0xAAAAAAAA &&
         s.dwControlsAccepted == 0xAAAAAAAA &&
         s.dwWin32ExitCode == 0xAAAAAAAA &&
         s.dwServiceSpecificExitCode == 0xAAAAAAAA &&
         s.dwCheckPoint == 0xAAAAAAAA && s.dwWaitHint == 0xAAAAAAAA;
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
    EXPECT_EQ(static_cast<int>(fake::CallsNamed("CloseServiceHandle").size()),
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
  // The calls SuspendService makes.
  Calls Suspended() {
    const size_t mark = Mark();
    W().SuspendService();
    return Since(mark);
  }
  // The calls ResumeService makes; it returns `result`.
  Calls Resumed(BOOL result = TRUE) {
    const size_t mark = Mark();
    EXPECT_EQ(W().ResumeService(), result);
    return Since(mark);
  }
  // The pauses SuspendService takes, in milliseconds.
  std::vector<uint32_t> SuspendPauses() {
    const size_t mark = Mark();
    W().SuspendService();
    return SleepsSince(mark);
  }
  // The calls the destruction makes.
  Calls Destroyed() {
    const size_t mark = Mark();
    Destroy();
    return Since(mark);
  }
  // SetStartType(SERVICE_DISABLED) fails printing `out`: the calls it made.
  Calls FailsToDisable(const std::string &out) {
    const size_t mark = Mark();
    EXPECT_EQ(Capture([&] { return W().SetStartType(SERVICE_DISABLED); }),
              Gives(FALSE, out));
    return Since(mark);
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
  // The pauses taken since the mark, in milliseconds.
  std::vector<uint32_t> SleepsSince(size_t mark) const {
    std::vector<uint32_t> out;
    for (size_t i = mark; i < fake::S().calls.size(); ++i)
      if (fake::S().calls[i].name == "Sleep")
        out.push_back(
            static_cast<uint32_t>(std::stoul(fake::S().calls[i].detail)));
    return out;
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
  EXPECT_EQ(Since(0), (Calls{kOpenManager, kOpenService, kQuery}));
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
  EXPECT_EQ(Since(0), (Calls{kOpenManager, kOpenService, kQuery}));
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
  EXPECT_EQ(FailedProbe(), (Calls{kOpenManager, kOpenService, kQuery,
                                  kCloseService, kCloseManager}));
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
  EXPECT_EQ(
      Since(0),
      (Calls{kOpenManager, kOpenService, kQuery,    //
             kQuery, kCloseService, kCloseManager,  //
             kOpenManager, "OpenServiceA manager#2 name=\"STISVC\" access=0x37",
             "QueryServiceStatus service#2"}));
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
  size_t mark = Mark();
  std::string out = CaptureOutput([&] { W().SuspendService(); });
  EXPECT_EQ(out, "");
  EXPECT_EQ(fake::DescribeService(), "stopped disabled");
  // Wait hint 0: each query follows the last at once; stop pending, stopped.
  EXPECT_EQ(Since(mark), Join({{kQuery, kStop}, Polls(2), SetTo(4)}));
  EXPECT_EQ(fake::S().sleptMs, 0u);

  mark = Mark();
  EXPECT_EQ(Capture([&] { return W().ResumeService(); }), Gives(TRUE));
  EXPECT_EQ(fake::DescribeService(), "running auto");
  // Start pending, then running.
  EXPECT_EQ(Since(mark), Join({SetTo(2), {kQuery, kStart}, Polls(2)}));
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

TEST_F(WiaControl, PauseOfTheWaitHintFollowsEveryReadIncludingTheLast) {
  fake::Service().waitHint = 250;
  fake::Service().stopPendingQueries = 2;
  // Two pending answers and the stopped one, each followed by its pause.
  EXPECT_EQ(SuspendPauses(), (std::vector<uint32_t>{250, 250, 250}));
  EXPECT_EQ(fake::S().tick, 750u);
  EXPECT_EQ(fake::DescribeService(), "stopped disabled");
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
  std::string out = CaptureOutput([&] { W().SuspendService(); });
  EXPECT_EQ(out, "");
  EXPECT_EQ(Since(0),
            (Calls{kOpenManager, kOpenService, kCloseManager, kOpenManager,
                   "OpenServiceA manager#2 name=\"STISVC\" access=0x37",
                   "CloseServiceHandle manager#2"}));
}

// --- The start-type change -------------------------------------------------

TEST_F(WiaControl, SetStartTypeOpensTheHandlesItself) {
  fake::Service().startType = SERVICE_DEMAND_START;
  EXPECT_EQ(W().SetStartType(SERVICE_AUTO_START), TRUE);
  EXPECT_EQ(Since(0), Join({{kOpenManager, kOpenService, kQuery}, SetTo(2)}));
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

TEST_F(WiaControl, ErrorCodeIsPrintedAsSignedDecimal) {
  fake::Service().configProbeError = 0x80070005u;
  FailsToDisable("QueryServiceConfig failed (-2147024891)");
}

TEST_F(WiaControl, SecondConfigQueryFailingFreesTheBlock) {
  fake::Service().configSecondFails = true;
  fake::Service().configSecondError = 1053;
  EXPECT_EQ(FailsToDisable("QueryServiceConfig failed (1053)"),
            Join({{kOpenManager, kOpenService, kQuery},
                  {kProbe, Alloc(), Fill(), kFree}}));
  EXPECT_EQ(fake::S().blocksAllocated, 1);
  EXPECT_EQ(fake::DescribeService(), "running auto");
}

TEST_F(WiaControl, BlockTooSmallForAGrownConfigurationIsAnOrdinaryFailure) {
  fake::Service().configSecondFails = true;  // ERROR_INSUFFICIENT_BUFFER
  FailsToDisable("QueryServiceConfig failed (122)");
  EXPECT_EQ(Count("QueryServiceConfigA"), 2);
}

TEST_F(WiaControl, BlockThatCannotBeAllocatedEndsWithTheAllocationsError) {
  fake::Service().allocFails = true;
  ASSERT_TRUE(Probe());
  EXPECT_EQ(FailsToDisable("QueryServiceConfig failed (8)"),
            (Calls{kProbe, Alloc()}));
  EXPECT_EQ(fake::S().blocksAllocated, 0);
}

TEST_F(WiaControl, ProbeThatSucceedsLeavesNoBlockAndFails) {
  fake::Service().configProbeError = ERROR_SUCCESS;
  ASSERT_TRUE(Probe());
  SetLastError(1726);
  EXPECT_EQ(FailsToDisable("QueryServiceConfig failed (1726)"),
            (Calls{kProbe, kProbe}));
  EXPECT_EQ(fake::DescribeService(), "running auto");
}

TEST_F(WiaControl, RefusedChangeFailsSilentlyAndFreesTheBlock) {
  fake::Service().changeFails = true;
  ASSERT_TRUE(Probe());
  EXPECT_EQ(FailsToDisable(""), SetTo(4));
  EXPECT_EQ(fake::DescribeService(), "running auto");
}

TEST_F(WiaControl, ResumeWhoseChangeIsRefusedStopsThere) {
  fake::Service().state = SERVICE_STOPPED;
  fake::Service().startType = SERVICE_DISABLED;
  fake::Service().changeFails = true;
  EXPECT_EQ(W().ResumeService(), FALSE);
  EXPECT_EQ(Since(0), Join({{kOpenManager, kOpenService, kQuery}, SetTo(2)}));
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
  EXPECT_EQ(Since(0),
            Join({{kOpenManager, kOpenService, kQuery, kStop, kTick, kQuery},
                  SetTo(4)}));
  EXPECT_EQ(fake::S().sleptMs, 0u);
}

TEST_F(WiaControl, RefusedStartReturnsZeroWithTheStartTypeAutomatic) {
  fake::Service().state = SERVICE_STOPPED;
  fake::Service().startType = SERVICE_DEMAND_START;
  fake::Service().startRefused = true;
  EXPECT_EQ(
      Resumed(FALSE),
      Join({{kOpenManager, kOpenService, kQuery}, SetTo(2), {kQuery, kStart}}));
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

TEST_F(WiaControl, ServiceThatNeverStopsEndsTheStopPollAtTheDeadline) {
  fake::Service().stopPendingQueries = -1;
  fake::Service().waitHint = 1000;
  ASSERT_TRUE(Probe());
  W().SuspendService();
  EXPECT_EQ(fake::S().sleptMs, 60000u);
  EXPECT_EQ(fake::S().tick, 60000u);
  // One read at each whole second from 0 to 59.
  EXPECT_EQ(Count("QueryServiceStatus"), 2 + 60);
  // The caller disables the service all the same.
  EXPECT_EQ(fake::DescribeService(), "stop-pending disabled");
}

TEST_F(WiaControl, HugeWaitHintIsCutToTheTimeLeft) {
  fake::Service().stopPendingQueries = -1;
  fake::Service().waitHint = 0xFFFFFFFFu;
  ASSERT_TRUE(Probe());
  EXPECT_EQ(SuspendPauses(), (std::vector<uint32_t>{60000}));
  EXPECT_EQ(fake::DescribeService(), "stop-pending disabled");
}

TEST_F(WiaControl, LastPauseIsCappedAtTheTimeLeft) {
  fake::Service().stopPendingQueries = -1;
  fake::Service().waitHint = 7000;
  EXPECT_EQ(SuspendPauses(),
            (std::vector<uint32_t>{7000, 7000, 7000, 7000, 7000, 7000, 7000,
                                   7000, 4000}));
}

TEST_F(WiaControl, ReadThatRunsPastTheDeadlineIsFollowedByNoPause) {
  fake::Service().stopPendingQueries = -1;
  fake::Service().waitHint = 1000;
  fake::Service().statusQueryMs = 700;  // a slow manager
  // 35 rounds of 1700 ms reach 59500; the 36th read ends at 60200.
  std::vector<uint32_t> expected(35, 1000);
  expected.push_back(0);
  EXPECT_EQ(SuspendPauses(), expected);
}

TEST_F(WiaControl, DeadlineIsMeasuredAcrossTheWrapOfTheTickCounter) {
  fake::S().tick = 0xFFFFFFFFu - 5000;
  fake::Service().stopPendingQueries = -1;
  fake::Service().waitHint = 1000;
  W().SuspendService();
  EXPECT_EQ(fake::S().sleptMs, 60000u);
  EXPECT_EQ(fake::S().tick, 60000u - 5000 - 1);
}

TEST_F(WiaControl, ServiceThatStopsJustInsideTheBoundEndsStopped) {
  // 59 pending answers at 0..58 s, stopped at 59 s.
  fake::Service().stopPendingQueries = 59;
  fake::Service().waitHint = 1000;
  W().SuspendService();
  EXPECT_EQ(fake::DescribeService(), "stopped disabled");
  EXPECT_EQ(fake::S().sleptMs, 60000u);
}

TEST_F(WiaControl, ServiceThatStopsJustPastTheBoundIsLeftStopping) {
  // One more pending answer, and the deadline comes first.
  fake::Service().stopPendingQueries = 60;
  fake::Service().waitHint = 1000;
  W().SuspendService();
  EXPECT_EQ(fake::DescribeService(), "stop-pending disabled");
  EXPECT_EQ(fake::S().sleptMs, 60000u);
}

TEST_F(WiaControl, ZeroWaitHintPollEndsAtTheDeadlineAsTheClockMoves) {
  fake::Service().stopPendingQueries = -1;
  fake::Service().statusQueryMs = 7;  // each read takes time
  W().SuspendService();
  EXPECT_EQ(fake::S().sleptMs, 0u);
  EXPECT_GE(fake::S().tick, 60000u);
  EXPECT_LT(fake::S().tick, 60000u + 3 * 7);
  EXPECT_LT(Count("QueryServiceStatus"), 60000 / 7 + 4);
  EXPECT_EQ(fake::DescribeService(), "stop-pending disabled");
}

TEST_F(WiaControl, ServiceThatNeverRunsEndsTheStartPollAtTheDeadline) {
  fake::Service().state = SERVICE_STOPPED;
  fake::Service().startPendingQueries = -1;
  fake::Service().waitHint = 1000;
  EXPECT_EQ(W().ResumeService(), TRUE);
  EXPECT_EQ(fake::S().sleptMs, 60000u);
  EXPECT_EQ(fake::DescribeService(), "start-pending auto");
}

TEST_F(WiaControl, ServiceThatFallsBackToStoppedEndsTheStartPollAtTheDeadline) {
  fake::Service().state = SERVICE_STOPPED;
  fake::Service().startFinalState = SERVICE_STOPPED;
  fake::Service().waitHint = 1000;
  EXPECT_EQ(W().ResumeService(), TRUE);
  EXPECT_EQ(fake::S().sleptMs, 60000u);
  EXPECT_EQ(fake::DescribeService(), "stopped auto");
}

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

}  // namespace
