// Output to a console and the wait after an Explorer start, on the fake:
// every scenario's transcript, run once more with standard output a
// console, must reach it as the same text in UTF-16; a console that refuses
// a text gets its bytes; a double-clicked run holds its window for a key.
#include <gtest/gtest.h>
#include <iconv.h>

#include <string>
#include <vector>

#include "app/window.h"
#include "tests/fake/check/faults.h"
#include "tests/fake/fake_platform.h"
#include "tests/fake/scenario.h"
#include "tests/unit/run_scanfw.h"

namespace {

// Big5 as this test's own iconv reads it.
std::u16string Utf16(const std::string &big5) {
  std::u16string out(big5.size(), u'\0');
  iconv_t cd = iconv_open("UTF-16LE", "BIG5");
  char *from = const_cast<char *>(big5.data());
  size_t left = big5.size(), room = out.size() * 2;
  char *to = reinterpret_cast<char *>(&out[0]);
  const size_t r = iconv(cd, &from, &left, &to, &room);
  iconv_close(cd);
  EXPECT_NE(r, static_cast<size_t>(-1)) << big5;
  out.resize(out.size() - room / 2);
  return out;
}

int Count(const char *name, const void *handle = nullptr) {
  int n = 0;
  for (const fake::Entry &e : fake::Entries())
    if (std::string(e.name) == name &&
        (handle == nullptr || e.handle == handle))
      ++n;
  return n;
}

// The n-th call of that name as the fault sweep counts calls; 0 if none.
long IndexOf(const char *name, int n) {
  for (size_t i = 0; i < fake::Entries().size(); ++i)
    if (std::string(fake::Entries()[i].name) == name && --n == 0)
      return static_cast<long>(i) + 1;
  return 0;
}

// A run with the fake's console as standard output; afterwards the program
// is told again that output is a pipe, as every other test expects.
struct ConsoleRun {
  std::string out;
  int status = -1;
  long allocations = 0;
  ConsoleRun(const std::vector<std::string> &args,
             const std::vector<std::pair<long, fake::Way>> &faults = {}) {
    fake::S().consoleOut = true;
    for (const auto &f : faults) fake::Arm(f.first, f.second);
    allocations = AllocationsIn([&] { out = fake::RunProgram(args, &status); });
  }
  ~ConsoleRun() {
    fake::S().consoleOut = false;
    BeginConsoleOutput();
  }
};

class ConsoleScenarios : public testing::TestWithParam<std::string> {};

// The scenario's transcript reaches the console as characters, in order and
// whole, and printing adds no allocation.
TEST_P(ConsoleScenarios, TranscriptArrivesAsUtf16) {
  const fake::Scenario sc = LoadedScenario(GetParam());
  if (HasFailure()) return;
  fake::Reset();
  fake::ApplyScenario(sc);
  int status = -1;
  long pipeAllocations = AllocationsIn([&] {
    EXPECT_EQ(fake::RunProgram(sc.args, &status), sc.expectedOutput);
  });
  // Only --log's record decodes the texts then, for its UTF-8.
  const bool logged = (sc.record.checks & SCN_CHECK_LOG) != 0;
  EXPECT_EQ(
      Count("WriteConsoleW") + (logged ? 0 : Count("MultiByteToWideChar")), 0);
  EXPECT_EQ(Count("GetConsoleMode", fake::kConsoleOutput), 1);

  fake::Reset();
  fake::ApplyScenario(sc);
  ConsoleRun run(sc.args);
  EXPECT_EQ(run.status, static_cast<int>(sc.record.expect_exit));
  // What the console shows, as the fake writes it back in Big5, and all of
  // it through the console.
  EXPECT_EQ(run.out, sc.expectedOutput);
  EXPECT_TRUE(fake::S().console == Utf16(sc.expectedOutput));
  // Decided once, however many texts follow.
  EXPECT_EQ(Count("GetConsoleMode", fake::kConsoleOutput), 1);
  EXPECT_EQ(Count("GetStdHandle"), 2);  // output, then input
  EXPECT_EQ(run.allocations, pipeAllocations);
}

INSTANTIATE_TEST_SUITE_P(Files, ConsoleScenarios,
                         testing::ValuesIn(FakeScenarios()),
                         [](const testing::TestParamInfo<std::string> &info) {
                           return info.param;
                         });

// What a person reads, spelled out: the decoding itself is checked here, not
// only that it matches the test's own.
struct Seen {
  const char *name;
  uint16_t langId;
  std::vector<std::string> args;
  std::u16string text;
};

const Seen kSeen[] = {
    {"no_scanner_zh", 0x0404, {}, u"0\n設備未找到!!\n結束 程序...\n\n"},
    {"help_zh",
     0x0404,
     {"--help"},
     u"用法: scanfw [-a | -b N] [--device NAME | --all] [--exit-code] "
     u"[--verbose]\n"},
    {"no_scanner_en", 0x0409, {}, u"0\nDevice not found!!\nEnd program...\n\n"},
    {"warning_zh", 0x0404, {"-b"}, u"警告 - no following argument!!\n\n0\n"},
};

TEST(Console, ShowsTheTextsAsWritten) {
  for (const Seen &s : kSeen) {
    fake::Reset();
    fake::S().langId = s.langId;
    ConsoleRun run(s.args);
    EXPECT_EQ(fake::S().console.compare(0, s.text.size(), s.text), 0) << s.name;
    EXPECT_EQ(run.allocations, 0) << s.name;
  }
}

// Where the console refuses a text, or its conversion fails, that text goes
// out as its bytes, in its place; the others still reach the console. The
// second text of a Chinese run without a scanner is "Device not found".
TEST(Console, ARefusedTextGoesOutAsBytes) {
  const char *const kCalls[] = {"MultiByteToWideChar", "WriteConsoleW"};
  for (const char *call : kCalls) {
    fake::Reset();
    fake::S().langId = 0x0404;
    long index = 0;
    {
      ConsoleRun probe({});
      index = IndexOf(call, 2);
    }
    ASSERT_GT(index, 0) << call;
    fake::Reset();
    fake::S().langId = 0x0404;
    ConsoleRun run({}, {{index, fake::Way::Fails}});
    const std::string notFound = MessageText(MsgDeviceNotFound, 1);
    EXPECT_EQ(run.out, "0\n" + notFound + "\n") << call;
    EXPECT_TRUE(fake::S().console == u"0\n") << call;
  }
  // A console that cannot be asked is a pipe.
  fake::Reset();
  long index = 0;
  {
    ConsoleRun probe({});
    index = IndexOf("GetConsoleMode", 1);
  }
  fake::Reset();
  ConsoleRun run({}, {{index, fake::Way::Fails}});
  EXPECT_EQ(run.out, "0\n" + std::string(kNotFound));
  EXPECT_TRUE(fake::S().console.empty());
}

// The wait after the run: who started it, what is typed and when, and
// Ctrl+C. The clock is virtual; a run without a scanner ends at kRunEnd.
struct Hold {
  const char *name;
  std::string parent;  // the parent's image; "" = none in the snapshot
  bool consoleIn;
  std::vector<std::string> args;
  std::vector<fake::ConsoleInputRecord> input;  // ticks after kRunEnd
  int ctrlCAtWait;  // Ctrl+C inside this console wait (1 = the first); 0
  bool held;        // MsgPressAnyKey printed and the window held
  uint32_t heldMs;  // how long the run lasted beyond kRunEnd
};

fake::ConsoleInputRecord Key(uint32_t ms, bool down = true, WORD vk = 'A') {
  return {ms, KEY_EVENT, down, vk};
}
fake::ConsoleInputRecord Mouse(uint32_t ms) { return {ms, 2, TRUE}; }

const Hold kHolds[] = {
    {"explorer_key", "explorer.exe", true, {}, {Key(5000)}, 0, true, 5000},
    {"explorer_upper_case", "EXPLORER.EXE", true, {}, {Key(1)}, 0, true, 1},
    {"release_and_mouse_skipped",
     "explorer.exe",
     true,
     {},
     {Key(100, false), Mouse(200), Key(7000)},
     0,
     true,
     7000},
    {"modifier_and_lock_keys_skipped",
     "explorer.exe",
     true,
     {},
     {Key(100, true, VK_MENU), Key(200, true, VK_SHIFT),
      Key(300, true, VK_LWIN), Key(400, true, VK_RCONTROL),
      Key(500, true, VK_CAPITAL), Key(7000)},
     0,
     true,
     7000},
    {"no_key_ten_minutes", "explorer.exe", true, {}, {}, 0, true, 600000},
    {"key_after_ten_minutes",
     "explorer.exe",
     true,
     {},
     {Key(600001)},
     0,
     true,
     600000},
    {"ctrl_c_in_wait", "explorer.exe", true, {}, {}, 3, true, 600},
    {"help_held_too", "explorer.exe", true, {"--help"}, {Key(10)}, 0, true, 10},
    {"exit_code_never", "explorer.exe", true, {"--exit-code"}, {}, 0, false, 0},
    {"input_not_console", "explorer.exe", false, {}, {}, 0, false, 0},
    {"parent_cmd", "cmd.exe", true, {}, {}, 0, false, 0},
    {"parent_explorer_lookalike",
     "explorer.exe.bak",
     true,
     {},
     {},
     0,
     false,
     0},
    {"parent_not_listed", "", true, {}, {}, 0, false, 0},
};

TEST(Window, HeldAfterAnExplorerStart) {
  fake::Reset();
  const std::string plain = RunScanfw({});
  const uint32_t kRunEnd = fake::S().tick;
  for (const Hold &h : kHolds) {
    for (uint16_t lang : {0x0409, 0x0404}) {
      fake::Reset();
      fake::S().langId = lang;
      fake::S().parentImage = h.parent;
      fake::S().consoleIn = h.consoleIn;
      // Typed during the run: flushed before the wait, never read.
      fake::S().input.push_back(Key(0));
      for (fake::ConsoleInputRecord r : h.input) {
        r.tick += kRunEnd;
        fake::S().input.push_back(r);
      }
      if (h.ctrlCAtWait > 0)
        fake::ArmInterrupt({"WaitForSingleObject", "handle=0x10", h.ctrlCAtWait,
                            CTRL_C_EVENT});
      int status = -1;
      const std::string out = fake::RunProgram(h.args, &status);
      const std::string what =
          std::string(h.name) + " lang " + std::to_string(lang);
      const LanguageIndex language = LanguageFromLangId(lang);
      const std::string press =
          std::string(MessageText(MsgPressAnyKey, language)) + "\n";
      const bool ends =
          out.size() >= press.size() &&
          out.compare(out.size() - press.size(), press.size(), press) == 0;
      EXPECT_EQ(ends, h.held) << what;
      EXPECT_EQ(status, h.args.empty()               ? 0
                        : h.args[0] == "--exit-code" ? 1
                                                     : 0)
          << what;
      EXPECT_EQ(Count("FlushConsoleInputBuffer"), h.held ? 1 : 0) << what;
      if (h.args.empty()) {
        EXPECT_EQ(fake::S().tick - kRunEnd, h.heldMs) << what;
      }
      if (h.held && h.args.empty() && lang == 0x0409) {
        EXPECT_EQ(out, plain + press) << what;
      }
      EXPECT_EQ(fake::OpenHandles(fake::HandleKind::Snapshot), 0) << what;
      EXPECT_EQ(Count("CreateToolhelp32Snapshot"), h.consoleIn ? 1 : 0) << what;
    }
  }
}

// A Ctrl+C the run already answered does not end the wait.
TEST(Window, AnEarlierCtrlCDoesNotCloseIt) {
  fake::Reset();
  fake::S().parentImage = "explorer.exe";
  fake::S().consoleIn = true;
  fake::ArmInterrupt({"CreateFileA", "", 1, CTRL_C_EVENT});
  const std::string out = RunScanfw({});
  EXPECT_NE(out.find(MessageText(MsgUpdateCancelled, 0)), std::string::npos);
  EXPECT_NE(out.find(MessageText(MsgPressAnyKey, 0)), std::string::npos);
  EXPECT_GE(fake::S().tick, kHoldWindowMs);
}

}  // namespace
