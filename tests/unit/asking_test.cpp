// The arguments that ask instead of update (--help and its spellings,
// --version, --list) and --exit-code, run whole in-process on the fake
// platform: what they print, that asking opens and sends nothing and leaves
// the service alone, and which exit status each outcome gives.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "tests/fake/fake_image.h"
#include "tests/fake/fake_platform.h"
#include "tests/fake/fake_service.h"
#include "tests/unit/run_scanfw.h"

namespace {

const char kFound[] = "Device found!!\n\n";
const char kPlaceholder[] =
    "This build carries the generated placeholder image, not firmware:\n"
    "never run it on a real scanner.\n";

// "-b 5 -?" -> {"-b", "5", "-?"}
std::vector<std::string> Words(const std::string &line) {
  std::vector<std::string> words;
  std::istringstream in(line);
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

struct Result {
  std::string out;
  int status;
};

Result Scanfw(const std::vector<std::string> &args, uint16_t langId = 0x0409) {
  fake::S().langId = langId;
  Result run;
  run.out = fake::RunProgram(args, &run.status);
  return run;
}

size_t Count(const std::string &name) { return fake::CallsNamed(name).size(); }

// Asking leaves no trace on devices or service.
void ExpectNothingTouched(const std::string &what) {
  EXPECT_EQ(Count("CreateFileA"), 0u) << what;
  EXPECT_EQ(fake::ServiceCallCount(), 0) << what;
  EXPECT_EQ(fake::OpenHandles(fake::HandleKind::Device), 0) << what;
}

// The image faults, each with its message.
const struct {
  fake::ImageFault fault;
  const char *what;
  const char *message;
} kImageFaults[] = {
    {fake::ImageFault::Find, "image not located",
     "Loading firmware (find resource) error!!\n\n"},
    {fake::ImageFault::Load, "image not loaded",
     "Loading firmware (load resource) error!!\n\n"},
    {fake::ImageFault::Lock, "image bytes not obtained",
     "Loading firmware (lock resource) error!!\n\n"},
    {fake::ImageFault::Empty, "image empty",
     "Loading firmware (resource length is zero) error!!\n\n"},
};

// ---- help ----

TEST(Help, EverySpellingPrintsTheUsageAndNothingElseHappens) {
  for (uint16_t lang : {0x0409, 0x0404}) {
    std::string first;
    // Help wins over everything else on the line.
    for (const char *line :
         {"--help", "-h", "-?", "/?", "--list --help",
          "-a --version -h --exit-code", "/? -b", "-b 5 -?"}) {
      const std::vector<std::string> args = Words(line);
      fake::Reset();
      fake::AddDevice(Attached(0));
      const Result run = Scanfw(args, lang);
      const std::string what = args[0] + "... in " + std::to_string(lang);
      EXPECT_EQ(run.status, 0) << what;
      ExpectNothingTouched(what);
      if (first.empty()) first = run.out;
      EXPECT_EQ(run.out, first) << what;  // no warning, no option value
    }
    EXPECT_EQ(first.find(lang == 0x0404 ? "\xA5\xCE\xAA\x6B: scanfw"
                                        : "Usage: scanfw"),
              0u);
  }
}

TEST(Help, NamesEveryOptionOnItsOwnLineAndWhatARunWithoutOptionsDoes) {
  const std::vector<std::string> options = {
      "-a", "-b N", "--exit-code", "--list", "--version", "--help"};
  for (uint16_t lang : {0x0409, 0x0404}) {
    fake::Reset();
    const std::string out = Scanfw({"--help"}, lang).out;
    const std::string lines = "\n" + out;
    for (const std::string &option : options) {
      const std::string start = "\n  " + option + " ";
      const size_t first = lines.find(start);
      EXPECT_NE(first, std::string::npos) << option << " in " << lang;
      EXPECT_EQ(lines.find(start, first + 1), std::string::npos) << option;
    }
    EXPECT_NE(out.find("-h"), std::string::npos);
    EXPECT_NE(out.find("/?"), std::string::npos);
    EXPECT_NE(
        out.find(lang == 0x0404
                     // 第一台連接的掃描器: the first attached scanner
                     ? Hex("B2 C4 A4 40 A5 78 B3 73 B1 B5 AA BA B1 BD B4 79 "
                           "BE B9")
                     : "updates the firmware of the first attached scanner"),
        std::string::npos)
        << lang;
  }
}

TEST(Help, OnlyWholeExactArgumentsAskAndANumberIsNotAnArgument) {
  for (const char *line : {"--HELP", "-H", "/h", "help", "--help=yes", "-?x",
                           "--Version", "-list", "-b --help", "-b /?"}) {
    const std::vector<std::string> args = Words(line);
    fake::Reset();
    const Result run = Scanfw(args);
    // The ordinary run: option value 0, all names tried.
    EXPECT_EQ(run.out, std::string("0\n") + kNotFound) << args.back();
    EXPECT_EQ(Count("CreateFileA"), 256u) << args.back();
    EXPECT_EQ(run.status, 0);
  }
}

// ---- version ----

TEST(Version, NamesTheVersionAndTheCarriedImage) {
  fake::Reset();
  fake::AddDevice(Attached(0));
  Result run = Scanfw({"--version"});
  EXPECT_EQ(run.out, std::string("scanfw 0.3.53.0\n"
                                 "Firmware image: 262144 bytes\n"
                                 "SHA-256: ") +
                         fake::kDefaultImageSha256 + "\n" + kPlaceholder);
  EXPECT_EQ(run.status, 0);
  ExpectNothingTouched("--version");

  // Another image, and a build that carries real firmware.
  fake::Reset();
  static const uint8_t kAbc[] = {'a', 'b', 'c'};
  fake::Image().data = kAbc;
  fake::Image().length = 3;
  fake::Image().placeholder = false;
  fake::Image().release = 0x0102;
  run = Scanfw({"--version", "--exit-code"});
  EXPECT_EQ(run.out,
            "scanfw 0.3.53.0\n"
            "Firmware image: 3 bytes\n"
            "SHA-256: "
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad\n"
            "Firmware release (bcdDevice): 0102\n");
  EXPECT_EQ(run.status, 0);
}

TEST(Version, AnImageThatCannotBeReachedIsReportedOnce) {
  for (const auto &c : kImageFaults) {
    fake::Reset();
    fake::Image().fault = c.fault;
    const Result run = Scanfw({"--version", "--exit-code"});
    EXPECT_EQ(run.out,
              std::string("scanfw 0.3.53.0\n") + c.message + kPlaceholder)
        << c.message;
    EXPECT_EQ(run.status, 0);
    ExpectNothingTouched(c.message);
  }
}

// ---- list ----

fake::FakeDevice WithRelease(fake::FakeDevice d, uint16_t release) {
  d.release = release;
  return d;
}

TEST(List, NamesEveryDeviceThatOpensClosesThemAndSendsNothing) {
  const struct {
    const char *what;
    std::vector<fake::FakeDevice> devices;
    uint16_t langId;
    std::string out;
  } cases[] = {
      {"nothing attached", {}, 0x0409, kNotFound},
      {"other devices only",
       {Attached(0, 0x04A9, 0x1905), Attached(5, 0x3A7C, 0x0001),
        WithRelease(Attached(9, 0xABCD, 0x00EF), 0xBEEF)},
       0x0409,
       std::string("\\\\.\\usbscan0 04A9:1905 0100\n"
                   "\\\\.\\usbscan5 3A7C:0001 0100\n"
                   "\\\\.\\usbscan9 ABCD:00EF BEEF\n") +
           kNotFound},
      {"a failing descriptor, then the scanner",
       {FailingDescriptor(Attached(0)), Attached(1)},
       0x0409,
       std::string("Get device descriptor error!!\n\n"
                   "\\\\.\\usbscan1 3A7C:4E21 0100\n") +
           kFound},
      {"two scanners, both listed in index order",
       {Attached(255), WithRelease(Attached(2), 0x0203),
        Attached(100, 0x04A9, 0x1905)},
       0x0409,
       std::string("\\\\.\\usbscan2 3A7C:4E21 0203\n"
                   "\\\\.\\usbscan100 04A9:1905 0100\n"
                   "\\\\.\\usbscan255 3A7C:4E21 0100\n") +
           kFound},
      {"in Traditional Chinese",
       {FailingDescriptor(Attached(3, 0x04A9, 0x1905)), Attached(4)},
       0x0404,
       // 獲取設備描述符的錯誤!! and 設備發現!!
       Hex("C0 F2 A8 FA B3 5D B3 C6 B4 79 AD 7A B2 C5 AA BA BF F9 BB 7E") +
           "!!\n\n\\\\.\\usbscan4 3A7C:4E21 0100\n" +
           Hex("B3 5D B3 C6 B5 6F B2 7B") + "!!\n\n"},
  };
  for (const auto &c : cases) {
    for (bool exitCode : {false, true}) {
      fake::Reset();
      for (const fake::FakeDevice &d : c.devices) fake::AddDevice(d);
      std::vector<std::string> args = {"--list"};
      if (exitCode) args.push_back("--exit-code");
      const Result run = Scanfw(args, c.langId);
      EXPECT_EQ(run.out, c.out) << c.what;
      EXPECT_EQ(run.status, 0) << c.what;
      // The whole walk, every device opened once and closed again, no
      // command and no service call.
      EXPECT_EQ(Count("CreateFileA"), 256u) << c.what;
      for (const fake::FakeDevice &d : c.devices)
        EXPECT_EQ(fake::TimesOpened(d.index), 1) << c.what << " " << d.index;
      EXPECT_EQ(fake::OpenHandles(fake::HandleKind::Device), 0) << c.what;
      EXPECT_EQ(fake::S().badCloses, 0) << c.what;
      EXPECT_EQ(Count("WriteFile") + Count("ReadFile"), 0u) << c.what;
      EXPECT_EQ(fake::ServiceCallCount(), 0) << c.what;
    }
  }
}

// ---- exit codes ----

struct Outcome {
  const char *what;
  fake::FakeDevice device;  // the only one attached
  fake::ImageFault image;
  int code;
  const char *lastMessage;
};

fake::FakeDevice Scanner(std::vector<uint16_t> readiness,
                         std::vector<uint16_t> burn,
                         std::vector<fake::Fault> faults = {}) {
  fake::FakeDevice d = Attached(0);
  d.readiness = readiness;
  d.burn = burn;
  d.faults = faults;
  return d;
}

fake::Fault FaultAt(fake::Phase phase, fake::Stage stage,
                    fake::FaultKind kind = fake::FaultKind::RequestFails) {
  return fake::Fault{phase, 1, stage, kind};
}

std::vector<Outcome> Outcomes() {
  using fake::Phase;
  using fake::Stage;
  const fake::ImageFault none = fake::ImageFault::None;
  std::vector<Outcome> outcomes = {
      {"burn done", Scanner({0}, {7, 7, 0}), none, 0,
       "Burning firmware done!!\n\n"},
      {"no scanner", Attached(0, 0x04A9, 0x1905), none, 1, kNotFound},
      {"readiness deadline", Scanner({5}, {0}), none, 3,
       "Device is not responsed!!\n\n"},
      {"readiness exchange fails",
       Scanner({0}, {0}, {FaultAt(Phase::Readiness, Stage::Write)}), none, 3,
       "Check device status error!!\n\n"},
      {"download command fails",
       Scanner({0}, {0}, {FaultAt(Phase::Download, Stage::Read)}), none, 4,
       "Send FW command error!!\n\n"},
      {"data write fails",
       Scanner({0}, {0}, {FaultAt(Phase::Bulk, Stage::Write)}), none, 4,
       "Send FW data error!!\n\n"},
      {"burn exchange fails",
       Scanner(
           {0}, {0},
           {FaultAt(Phase::Burn, Stage::Read, fake::FaultKind::WaitTimeout)}),
       none, 5, "Burning firmware error!!\n\n"},
      {"burn status 5", Scanner({0}, {7, 5}), none, 5,
       "Burning firmware error!!\n\n"},
  };
  for (const auto &f : kImageFaults)
    outcomes.push_back({f.what, Attached(0), f.fault, 2, f.message});
  return outcomes;
}

TEST(ExitCode, EachOutcomeHasItsCodeAndTheRunIsOtherwiseTheSame) {
  for (const Outcome &o : Outcomes()) {
    const auto setUp = [&o] {
      fake::Reset();
      fake::AddDevice(o.device);
      fake::Image().fault = o.image;
    };
    setUp();
    const Result plain = Scanfw({});
    const std::vector<std::string> plainCalls = fake::CallNames();
    EXPECT_EQ(plain.status, 0) << o.what;

    setUp();
    const Result coded = Scanfw({"--exit-code"});
    EXPECT_EQ(coded.status, o.code) << o.what;
    const std::string last = o.lastMessage;
    EXPECT_EQ(coded.out.substr(coded.out.size() - last.size()), last) << o.what;
    // Byte for byte and call for call the same run.
    EXPECT_EQ(coded.out, plain.out) << o.what;
    EXPECT_EQ(fake::CallNames(), plainCalls) << o.what;
    EXPECT_EQ(fake::DescribeService(), "running auto") << o.what;
  }
}

TEST(ExitCode, CombinesWithTheOptionsAndBTakesItAsANumber) {
  const struct {
    std::vector<std::string> args;
    const char *firstLines;
    int code;
  } cases[] = {
      {{"-a", "--exit-code"}, "1\n", 1},
      {{"--exit-code", "-b", "9"}, "9\n", 1},
      {{"-b", "-3", "--exit-code", "-a"}, "1\n", 1},
      // "b" consumes the next argument whatever it reads.
      {{"-b", "--exit-code"}, "0\n", 0},
      {{"--exit-code", "-b"}, "Warning - no following argument!!\n\n0\n", 1},
      {{"--exit-code", "--exit-code"}, "0\n", 1},
      {{"--EXIT-CODE"}, "0\n", 0},
      {{"-exit-code"}, "0\n", 0},
  };
  for (const auto &c : cases) {
    fake::Reset();
    const Result run = Scanfw(c.args);
    EXPECT_EQ(run.out, std::string(c.firstLines) + kNotFound) << c.args[0];
    EXPECT_EQ(run.status, c.code) << c.args[0] << " " << c.args.back();
  }
}

}  // namespace
