// Console control events at every stage of a run: each event, fired by the
// fake from inside a chosen platform call, against what the user reads, what
// the scanner receives, where the service ends up and whether the system was
// kept awake for exactly the span in which the scanner is written.
#include "app/interrupt.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "app/update.h"
#include "device/protocol.h"
#include "messages/diagnostics.h"
#include "messages/run_log.h"
#include "tests/fake/fake_image.h"
#include "tests/fake/fake_scanner.h"
#include "tests/fake/fake_service.h"
#include "tests/unit/run_scanfw.h"

namespace {

// The pieces a transcript is made of, in both languages.
enum Piece {
  kOption,
  kFound,
  kLoading,
  kEmpty,
  kChecking,
  kBusy,
  kSending,
  kCancelled,
  kCannotCancel,
  kUpgradeWait,
  kBurn1,
  kBurn2,
  kDone,
  kPressAnyKey,
};

const char *const kEnglish[] = {
    "0\n",
    "Device found!!\n\n",
    "Loading firmware...\n\n",
    "\n",
    "Checking firmware...\n\n",
    "Device is busy... Please wait...\n\n",
    "Sending firmware...\n\n",
    "Update cancelled!!\n\n",
    "FW Upgrade in progress, cannot cancel... Please wait...\n\n",
    "FW Upgrade! Please wait...\n\n",
    "Burning firmware... (1)\n",
    "Burning firmware... (2)\n",
    "Burning firmware done!!\n\n",
    "Press any key to close this window...\n\n",
};

const char *const kChineseHex[] = {
    "30 0a",
    "b3 5d b3 c6 b5 6f b2 7b 21 21 0a 0a",
    "a9 54 a5 f3 b8 cb b8 fc a4 a4 2e 2e 2e 0a 0a",
    "0a",
    "43 68 65 63 6b 69 6e 67 20 66 69 72 6d 77 61 72 65 2e 2e 2e 0a 0a",
    "b3 5d b3 c6 a6 a3 b8 4c a4 a4 2e 2e 2e 20 bd d0 b5 79 ad d4 2e 2e 2e 0a "
    "0a",
    "b5 6f b0 65 b6 b4 c5 e9 2e 2e 2e 0a 0a",
    "a7 f3 b7 73 a4 77 a8 fa ae f8 21 21 0a 0a",
    "b6 b4 c5 e9 a4 c9 af c5 a4 a4 a1 41 b5 4c aa 6b a8 fa ae f8 a1 41 bd d0 "
    "b5 79 ad d4 2e 2e 2e 0a 0a",
    "b6 b4 c5 e9 a4 c9 af c5 a1 41 bd d0 b5 79 ad d4 2e 2e 2e 0a 0a",
    "42 75 72 6e 69 6e 67 20 66 69 72 6d 77 61 72 65 2e 2e 2e 20 28 31 29 0a",
    "42 75 72 6e 69 6e 67 20 66 69 72 6d 77 61 72 65 2e 2e 2e 20 28 32 29 0a",
    "a4 c9 af c5 b6 b4 c5 e9 a7 b9 b2 a6 21 21 0a 0a",
    "bd d0 ab f6 a5 f4 b7 4e c1 e4 c3 f6 b3 ac a6 b9 b5 f8 b5 a1 2e 2e 2e 0a "
    "0a",
};

std::string Transcript(const std::vector<Piece> &pieces, bool chinese) {
  std::string out;
  for (Piece p : pieces) out += chinese ? Hex(kChineseHex[p]) : kEnglish[p];
  return out;
}

using Pieces = std::vector<Piece>;
using At = fake::Interrupt;
using Args = std::vector<std::string>;

// Where the event arrives: inside which platform call.
struct Phase {
  const char *name;
  fake::Interrupt at;  // event filled in per case
  bool writing;        // from the download command on
  std::vector<Piece> output;
  const char *wire;
  bool held = false;  // started from Explorer: in the wait after the run
};

// The scanner sits at index 2, answers busy once, then ready; the burn
// answers 7 twice, then done. Command writes: 1 and 2 readiness, 3 download,
// 4 to 6 burn status; the image's write between 3 and 4.
const Pieces kUpToChecking = {kOption, kFound, kLoading, kEmpty, kChecking};
Pieces Then(Pieces head, const Pieces &tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}
// Whole runs: never interrupted, refused before the burn, refused in it.
const Pieces kWhole =
    Then(kUpToChecking, {kBusy, kSending, kUpgradeWait, kBurn1, kBurn2, kDone});
const Pieces kRefusedEarly =
    Then(kUpToChecking,
         {kBusy, kSending, kCannotCancel, kUpgradeWait, kBurn1, kBurn2, kDone});
const Pieces kRefusedInBurn =
    Then(kUpToChecking,
         {kBusy, kSending, kUpgradeWait, kCannotCancel, kBurn1, kBurn2, kDone});

std::vector<Phase> Phases() {
  const std::string image = "bytes=" + std::to_string(fake::Image().length);
  return {
      {"discovery", At{"CreateFileA", "usbscan1", 1, 0}, false,
       Pieces{kOption, kCancelled}, ""},
      {"service_suspended", At{"FindResourceA", "", 1, 0}, false,
       Then(kUpToChecking, {kCancelled}), ""},
      {"readiness_query", At{"WriteFile", "bytes=16", 1, 0}, false,
       Then(kUpToChecking, {kBusy, kCancelled}), "R"},
      {"readiness_pause", At{"Sleep", "1000", 1, 0}, false,
       Then(kUpToChecking, {kBusy, kCancelled}), "R"},
      {"ready_answer", At{"ReadFile", "bytes=32", 2, 0}, false,
       Then(kUpToChecking, {kBusy, kSending, kCancelled}), "RR"},
      {"download", At{"WriteFile", "bytes=16", 3, 0}, true, kRefusedEarly,
       "RRDBSSS"},
      {"bulk_write", At{"WriteFile", image.c_str(), 1, 0}, true, kRefusedEarly,
       "RRDBSSS"},
      {"pause", At{"Sleep", "6000", 1, 0}, true, kRefusedEarly, "RRDBSSS"},
      {"burn", At{"WriteFile", "bytes=16", 4, 0}, true, kRefusedInBurn,
       "RRDBSSS"},
      {"hold", At{"WaitForSingleObject", "handle=0x10 ", 1, 0}, true,
       Then(kWhole, {kPressAnyKey}), "RRDBSSS", true},
  };
}

struct Event {
  const char *name;
  DWORD code;
  bool ending;  // close, logoff, shutdown: the handler gives the service back
};

const Event kEvents[] = {
    {"C", CTRL_C_EVENT, false},
    {"Break", CTRL_BREAK_EVENT, false},
    {"Close", CTRL_CLOSE_EVENT, true},
    {"Logoff", CTRL_LOGOFF_EVENT, true},
    {"Shutdown", CTRL_SHUTDOWN_EVENT, true},
};

struct Case {
  Phase phase;
  Event event;
  bool chinese;
  std::string name;
};

void PrintTo(const Case &c, std::ostream *os) { *os << c.name; }

std::vector<Case> Cases() {
  std::vector<Case> cases;
  for (const Phase &p : Phases())
    for (const Event &e : kEvents)
      for (bool chinese : {false, true}) {
        Case c{p, e, chinese,
               std::string(p.name) + "_" + e.name + (chinese ? "_zh" : "_en")};
        c.phase.at.event = e.code;
        cases.push_back(c);
      }
  return cases;
}

// The requests of a run that writes the scanner: awake, then back.
const std::vector<EXECUTION_STATE> kAwake = {ES_CONTINUOUS | ES_SYSTEM_REQUIRED,
                                             ES_CONTINUOUS};

void SetUpScanner(bool chinese, bool held = false) {
  fake::Reset();
  fake::S().langId = chinese ? 0x0404 : 0x0409;
  fake::S().consoleIn = held;
  fake::S().parentImage = held ? "explorer.exe" : "";
  fake::AddDevice(Attached(1, 0x1234));
  fake::FakeDevice scanner = Attached(2);
  scanner.readiness = {5, 0};
  scanner.burn = {7, 7, 0};
  fake::AddDevice(scanner);
}

// One letter per thing the scanner received.
std::string Wire() {
  const CommandBlock commands[] = {ReadinessQuery(),
                                   FirmwareDownload(fake::Image().length),
                                   BurnStatusQuery()};
  std::string wire;
  for (const fake::Received &r : fake::ReceivedBy(2)) {
    char letter = '?';
    if (r.kind == fake::Received::Bulk) {
      if (r.buffer == fake::Image().data && r.length == fake::Image().length)
        letter = 'B';
    } else {
      for (int i = 0; i < 3; ++i) {
        const uint8_t *c = commands[i].bytes;
        if (r.bytes == std::vector<uint8_t>(c, c + sizeof commands[i].bytes))
          letter = "RDS"[i];
      }
    }
    wire += letter;
  }
  return wire;
}

// The index of the first call with this name and detail at or after `from`.
size_t Find(const std::string &name, const std::string &detail,
            size_t from = 0) {
  const std::vector<fake::Call> &calls = fake::S().calls;
  for (size_t i = from; i < calls.size(); ++i)
    if (calls[i].name == name && calls[i].detail.find(detail) == 0) return i;
  return calls.size();
}

// The index of the n-th call with this name.
size_t Nth(const std::string &name, int n) {
  size_t i = Find(name, "");
  while (--n > 0) i = Find(name, "", i + 1);
  return i;
}

class Interrupts : public testing::TestWithParam<Case> {};

TEST_P(Interrupts, EndAsTheStageAllows) {
  const Case &c = GetParam();
  SetUpScanner(c.chinese, c.phase.held);
  fake::ArmInterrupt(c.phase.at);

  const std::string out = RunScanfw({});
  const fake::InterruptReport &fired = fake::Fired();
  ASSERT_TRUE(fired.fired);
  EXPECT_EQ(fired.result, TRUE);  // the system does not end the process

  EXPECT_EQ(out, Transcript(c.phase.output, c.chinese));
  EXPECT_EQ(Wire(), c.phase.wire);

  // The service: given back by the main thread after Ctrl+C and Break; by
  // the handler after the ending events, started before the download
  // command and left stopped but set to start while the scanner burns; once
  // the run has given it back, the handler has nothing left to do.
  const bool touched = std::string(c.phase.name) != "discovery";
  const bool burning = c.phase.writing && !c.phase.held;
  const std::string atEnd =
      c.event.ending && burning ? "stopped auto" : "running auto";
  EXPECT_EQ(fake::DescribeService(), atEnd);
  if (c.event.ending && touched) {
    EXPECT_EQ(fired.serviceAfter, atEnd);
    // The handler used handles of its own, and once it had taken over, the
    // main thread only closed its handles.
    const std::vector<fake::Call> &calls = fake::S().calls;
    for (size_t i = fired.callIndex + 1; i < fired.returnedAt; ++i) {
      if (fake::IsManagerCall(calls[i].name.c_str())) {
        EXPECT_EQ(calls[i].detail.find("#1"), std::string::npos)
            << calls[i].name << " " << calls[i].detail;
      }
    }
    EXPECT_EQ(Find("OpenSCManagerA", "", fired.callIndex) == calls.size(),
              c.phase.held);
    for (size_t i = fired.returnedAt; i < calls.size(); ++i)
      EXPECT_FALSE(fake::IsManagerCall(calls[i].name.c_str())) << calls[i].name;
  }
  if (!touched) {
    EXPECT_EQ(fake::CallsNamed("OpenSCManagerA").size(), 0u);
  }

  // A cancel takes effect within one readiness pause; the service's restart
  // then pauses 100 ms after its one pending answer.
  if (!c.phase.writing && !c.event.ending) {
    EXPECT_LE(fake::S().tick - fired.tick, kReadinessPauseMs + 100);
  }

  // Kept awake from right before the download command to the verdict.
  if (c.phase.writing) {
    EXPECT_EQ(fake::S().executionRequests, kAwake);
    const size_t set = Find("SetThreadExecutionState", "0x80000001");
    const size_t clear = Find("SetThreadExecutionState", "0x80000000");
    const size_t download = Nth("WriteFile", 3);
    EXPECT_LT(set, download);
    EXPECT_EQ(Find("WriteFile", "", set), download);
    EXPECT_EQ(Find("WriteFile", "", clear), fake::S().calls.size());
  } else {
    EXPECT_TRUE(fake::S().executionRequests.empty());
  }
  EXPECT_EQ(fake::S().executionState, ES_CONTINUOUS);

  EXPECT_EQ(fake::OpenHandles(fake::HandleKind::Event), 0);
  EXPECT_EQ(fake::OpenHandles(fake::HandleKind::Manager), 0);
  EXPECT_EQ(fake::OpenHandles(fake::HandleKind::Service), 0);
  EXPECT_EQ(fake::OpenHandles(fake::HandleKind::Device), touched ? 1 : 0);
  EXPECT_EQ(fake::S().badCloses, 0);
  EXPECT_EQ(fake::S().blocksAllocated, fake::S().blocksFreed);
  EXPECT_EQ(RunWasCancelled(), !c.phase.writing);
}

INSTANTIATE_TEST_SUITE_P(EveryStage, Interrupts, testing::ValuesIn(Cases()),
                         RowName());

TEST(Interrupts, AnUninterruptedRunIsKeptAwakeOnlyWhileWritten) {
  for (bool chinese : {false, true}) {
    SetUpScanner(chinese);
    const std::string out = RunScanfw({});
    EXPECT_EQ(out, Transcript(kWhole, chinese));
    EXPECT_EQ(Wire(), "RRDBSSS");
    EXPECT_EQ(fake::DescribeService(), "running auto");
    EXPECT_EQ(fake::S().executionRequests, kAwake);
    EXPECT_FALSE(RunWasCancelled());
    // The handler is registered before the program's first other call.
    ASSERT_FALSE(fake::S().calls.empty());
    EXPECT_EQ(fake::S().calls[0].name, "SetConsoleCtrlHandler");
    EXPECT_EQ(fake::S().calls[0].detail, "routine add=1");
  }
}

TEST(Interrupts, OnlyTheFirstRefusedInterruptIsAcknowledged) {
  SetUpScanner(false);
  fake::ArmInterrupt({"WriteFile", "bytes=16", 3, CTRL_C_EVENT});
  fake::ArmInterrupt({"Sleep", "6000", 1, CTRL_BREAK_EVENT});
  fake::ArmInterrupt({"WriteFile", "bytes=16", 6, CTRL_C_EVENT});
  const std::string out = RunScanfw({});
  for (size_t n = 0; n < 3; ++n) EXPECT_TRUE(fake::Fired(n).fired) << n;
  EXPECT_EQ(out, Transcript(kRefusedEarly, false));
  EXPECT_EQ(Wire(), "RRDBSSS");
}

TEST(Interrupts, ARefusedInterruptIsAcknowledgedBeforeAFailure) {
  SetUpScanner(false);
  fake::Device(2)->faults.push_back({fake::Phase::Bulk, 1, fake::Stage::Write,
                                     fake::FaultKind::RequestFails});
  fake::ArmInterrupt({"WriteFile", "bytes=16", 3, CTRL_C_EVENT});
  const std::string out = RunScanfw({});
  EXPECT_EQ(out,
            Transcript(Then(kUpToChecking, {kBusy, kSending}), false) +
                "Write to USB error!!\n\n"
                "FW Upgrade in progress, cannot cancel... Please wait...\n\n"
                "Send FW data error!!\n\n");
  EXPECT_EQ(fake::DescribeService(), "running auto");
  EXPECT_EQ(fake::S().executionState, ES_CONTINUOUS);
  EXPECT_EQ(fake::S().executionRequests.size(), 2u);
}

// The hand-over between the main thread and the handler, on its own.
void FinishServiceCallOnFirstSleep(DWORD) {
  fake::S().onSleep = nullptr;
  EndServiceCall();
}

// The main thread inside a service call, the service suspended.
void SuspendedInAServiceCall() {
  fake::Reset();
  InstallInterruptHandler();
  ASSERT_TRUE(BeginServiceCall());
  NoteServiceSuspended();
  fake::Service().state = SERVICE_STOPPED;
  fake::Service().startType = SERVICE_DISABLED;
}

TEST(Interrupts, TheHandlerWaitsForTheMainThreadsServiceCall) {
  ASSERT_NO_FATAL_FAILURE(SuspendedInAServiceCall());
  fake::S().onSleep = FinishServiceCallOnFirstSleep;
  const size_t mark = fake::S().calls.size();

  EXPECT_EQ(OnConsoleControl(CTRL_CLOSE_EVENT), TRUE);
  // Nothing touched the service before the main thread's call had ended.
  const size_t firstSleep = Find("Sleep", "", mark);
  ASSERT_LT(firstSleep, fake::S().calls.size());
  for (size_t i = mark; i < firstSleep; ++i)
    EXPECT_FALSE(fake::IsManagerCall(fake::S().calls[i].name.c_str()));
  EXPECT_EQ(fake::DescribeService(), "running auto");
  // From now on the main thread leaves the service alone.
  EXPECT_FALSE(BeginServiceCall());
  EXPECT_EQ(fake::OpenHandles(fake::HandleKind::Service), 0);
}

TEST(Interrupts, AMainThreadServiceCallThatNeverEndsHoldsTheHandlerBack) {
  ASSERT_NO_FATAL_FAILURE(SuspendedInAServiceCall());
  const uint32_t start = fake::S().tick;
  EXPECT_EQ(OnConsoleControl(CTRL_SHUTDOWN_EVENT), TRUE);
  // It waited, then went ahead well inside the five seconds the process has.
  const size_t firstServiceCall = Find("OpenSCManagerA", "");
  ASSERT_LT(firstServiceCall, fake::S().calls.size());
  uint64_t waited = 0;
  for (size_t i = 0; i < firstServiceCall; ++i)
    if (fake::S().calls[i].name == "Sleep")
      waited += std::stoul(fake::S().calls[i].detail);
  EXPECT_GE(waited, 3000u);
  EXPECT_LT(fake::S().tick - start, 5000u);
  EXPECT_EQ(fake::DescribeService(), "running auto");
}

// Close, logoff and shutdown on the handler's own thread, each giving the
// service back and logging it, while this thread prints and logs: every
// line of both arrives whole, and this thread's once each and in order.
TEST(Interrupts, TheHandlerThreadAndTheMainThreadWriteInTurn) {
  ASSERT_NO_FATAL_FAILURE(SuspendedInAServiceCall());
  EndServiceCall();
  const std::string path = testing::TempDir() + "scanfw_threads.log";
  std::remove(path.c_str());
  char reason[256];
  ASSERT_TRUE(runlog::Open(path.c_str(), reason, sizeof reason)) << reason;
  diag::Start(0, nullptr, 0x0409, kLanguageEnglish, false);
  int lines = 0;
  const std::string out = CaptureOutput([&] {
    std::atomic<bool> done{false};
    std::thread handler([&] {
      for (int round = 0; round < 10; ++round)
        for (DWORD event :
             {CTRL_CLOSE_EVENT, CTRL_LOGOFF_EVENT, CTRL_SHUTDOWN_EVENT})
          EXPECT_EQ(OnConsoleControl(event), TRUE);
      done = true;
    });
    while (!done || lines < 200) {
      PrintConsole("console line %d\n", lines);
      diag::Line("log line %d", lines);
      ++lines;
    }
    handler.join();
  });
  runlog::End("both threads", 0);
  diag::Stop();

  std::string printed;
  for (int i = 0; i < lines; ++i)
    printed += "console line " + std::to_string(i) + "\n";
  EXPECT_EQ(out, printed);
  std::ifstream file(path);
  const std::regex whole(
      "\\S+Z \\S+ scanfw\\[[0-9]+\\]: ([0-9]+ ms  )?[^\\n]*[^ ]");
  const std::regex mine("[0-9]+ ms  (stdout: console|log) line ([0-9]+)$");
  int console = 0, logged = 0, handlers = 0;
  for (std::string line; std::getline(file, line);) {
    EXPECT_TRUE(std::regex_match(line, whole)) << line;
    std::smatch m;
    if (std::regex_search(line, m, mine)) {
      int &next = m[1] == "log" ? logged : console;
      EXPECT_EQ(m[2], std::to_string(next)) << line;
      ++next;
    }
    if (line.find("service STISVC status") != std::string::npos) ++handlers;
  }
  EXPECT_EQ(console, lines);
  EXPECT_EQ(logged, lines);
  EXPECT_GE(handlers, 30);
}

TEST(Interrupts, NothingSuspendedNothingToGiveBack) {
  fake::Reset();
  InstallInterruptHandler();
  EXPECT_EQ(OnConsoleControl(CTRL_LOGOFF_EVENT), TRUE);
  EXPECT_EQ(fake::CallsNamed("OpenSCManagerA").size(), 0u);
  EXPECT_FALSE(BeginServiceCall());
  // Events the handler does not know are left to the next handler.
  EXPECT_EQ(OnConsoleControl(3), FALSE);
  EXPECT_EQ(OnConsoleControl(4), FALSE);
}

TEST(Interrupts, ANewRunForgetsTheLastOnesEvents) {
  fake::Reset();
  InstallInterruptHandler();
  OnConsoleControl(CTRL_C_EVENT);
  EXPECT_TRUE(CancelAtSafePoint());
  EXPECT_TRUE(RunWasCancelled());
  InstallInterruptHandler();
  EXPECT_FALSE(CancelAtSafePoint());
  EXPECT_FALSE(RunWasCancelled());
  EXPECT_TRUE(BeginWriting());
  // Once writing, a later interrupt cancels nothing.
  OnConsoleControl(CTRL_C_EVENT);
  EXPECT_FALSE(RunWasCancelled());
}

// With --exit-code a cancel ends the process with 6, wherever it came before
// the download command; one refused while the scanner is written leaves the
// verdict's code. A listing that is interrupted ends without its verdict.
// --all finishes the scanner that refused it and starts no other: a cancel
// only when a scanner was left without its update.
TEST(Interrupts, TheExitCodeTellsACancel) {
  const struct {
    const char *name;
    std::vector<std::string> args;
    fake::Interrupt at;
    int status;
    std::string before;  // what comes before the pieces
    Pieces output;
    bool second = false;                   // a second scanner at index 3
    std::string after = "";                // what comes after the pieces
    const char *service = "running auto";  // at the end
  } cases[] = {
      {"discovery", Args{"--exit-code"},
       At{"CreateFileA", "usbscan1", 1, CTRL_C_EVENT}, 6, "",
       Pieces{kOption, kCancelled}},
      {"readiness", Args{"--exit-code", "-a"},
       At{"Sleep", "1000", 1, CTRL_BREAK_EVENT}, 6, "1\n",
       Pieces{kFound, kLoading, kEmpty, kChecking, kBusy, kCancelled}},
      {"burn", Args{"--exit-code"},
       At{"WriteFile", "bytes=16", 4, CTRL_C_EVENT}, 0, "", kRefusedInBurn},
      // The interrupt arrives while usbscan2 opens: it is listed, the walk
      // ends before the next name, and the verdict is not printed.
      {"list", Args{"--list"}, At{"CreateFileA", "usbscan2", 1, CTRL_C_EVENT},
       0, "\\\\.\\usbscan1 1234:4E21 0100\n\\\\.\\usbscan2 3A7C:4E21 0100\n",
       Pieces{kCancelled}},
      {"all_burn", Args{"--all", "--exit-code"},
       At{"WriteFile", "bytes=16", 4, CTRL_C_EVENT}, 0, "0\n\\\\.\\usbscan2\n",
       Pieces(kRefusedInBurn.begin() + 1, kRefusedInBurn.end())},
      // Side by side: the scanner still waiting stops at its next safe
      // point, the one burning goes on to its verdict.
      {"all_burn_one_waiting", Args{"--all", "--exit-code"},
       At{"WriteFile", "bytes=16", 4, CTRL_C_EVENT}, 6, "0\n\\\\.\\usbscan2\n",
       Pieces(kRefusedInBurn.begin() + 1, kRefusedInBurn.end()), true,
       "\\\\.\\usbscan3\n" +
           Transcript({kFound, kLoading, kEmpty, kChecking, kCancelled},
                      false)},
      // The console closed while one scanner burns and one waits: the
      // service is set to start with the system and left stopped.
      {"all_close_in_burn", Args{"--all", "--exit-code"},
       At{"WriteFile", "bytes=16", 4, CTRL_CLOSE_EVENT}, 6,
       "0\n\\\\.\\usbscan2\n",
       Pieces(kRefusedInBurn.begin() + 1, kRefusedInBurn.end()), true,
       "\\\\.\\usbscan3\n" +
           Transcript({kFound, kLoading, kEmpty, kChecking, kCancelled}, false),
       "stopped auto"},
      {"one_at_a_time_burn_one_left",
       Args{"--all", "--one-at-a-time", "--exit-code"},
       At{"WriteFile", "bytes=16", 4, CTRL_C_EVENT}, 6, "0\n\\\\.\\usbscan2\n",
       Then(Pieces(kRefusedInBurn.begin() + 1, kRefusedInBurn.end()),
            {kCancelled}),
       true},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    SetUpScanner(false);
    if (c.second) fake::AddDevice(Attached(3));
    fake::ArmInterrupt(c.at);
    int status = -1;
    std::string out = fake::RunProgram(c.args, &status);
    EXPECT_TRUE(fake::Fired().fired);
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(out, c.before + Transcript(c.output, false) + c.after);
    EXPECT_TRUE(fake::ReceivedBy(3).empty());
    EXPECT_EQ(fake::DescribeService(), c.service);
    EXPECT_EQ(fake::OpenHandles(fake::HandleKind::Event), 0);
    if (c.args[0] == "--all") {
      EXPECT_EQ(fake::OpenHandles(fake::HandleKind::Device), 0);
    }
  }
}

}  // namespace
