// The command line as arbitrary bytes: the first byte picks the language,
// the rest splits at NUL bytes into arguments. The option scan must agree
// with a small reference model of the option rule, written independently.
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/entry.h"
#include "messages/messages.h"
#include "tests/fake/check/checked_run.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

// The number rule by the C library: base 10, clamped to 32 bits.
int32_t ModelNumber(const std::string &text) {
  errno = 0;
  const long long v = std::strtoll(text.c_str(), nullptr, 10);
  if (v > INT32_MAX) return INT32_MAX;
  if (v < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(v);
}

struct Model {
  int32_t value = 0;
  int warnings = 0;  // "no following argument" messages
  bool help = false, version = false, list = false, exitCode = false,
       verbose = false, all = false, check = false, allowOlder = false,
       allowReinstall = false, oneAtATime = false;
};

// One argument after another. The asking options, --exit-code and --verbose
// match the whole argument, exactly; otherwise only the second character
// counts: 'a' sets 1, 'b' takes the next argument as the number, whatever it
// reads, or warns when there is none. --device and --log take the next
// argument as their value, whatever it reads.
Model ModelScan(const std::vector<std::string> &args) {
  Model m;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string &a = args[i];
    if (a == "--help" || a == "-h" || a == "-?" || a == "/?") m.help = true;
    if (a == "--version") m.version = true;
    if (a == "--list") m.list = true;
    if (a == "--exit-code") m.exitCode = true;
    if (a == "--verbose") m.verbose = true;
    if (a == "--all") m.all = true;
    if (a == "--check") m.check = true;
    if (a == "--allow-older") m.allowOlder = true;
    if (a == "--one-at-a-time") m.oneAtATime = true;
    if (a == "--allow-reinstall") m.allowReinstall = true;
    if (a == "--device" || a == "--log") {
      if (i + 1 < args.size()) ++i;
      continue;
    }
    if (a.size() < 2) continue;
    if (a[1] == 'a') {
      m.value = 1;
    } else if (a[1] == 'b') {
      if (i + 1 < args.size()) {
        m.value = ModelNumber(args[++i]);
      } else {
        ++m.warnings;
      }
    }
  }
  return m;
}

struct Scan {
  std::vector<char *> argv;
  LanguageIndex language;
  int32_t value;
};

void RunScan(void *context) {
  Scan *s = static_cast<Scan *>(context);
  s->value = ScanOptions(static_cast<int>(s->argv.size()) - 1, s->argv.data(),
                         s->language);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  const LanguageIndex language =
      (data[0] & 1) ? kLanguageTraditionalChinese : kLanguageEnglish;
  std::vector<std::string> args{"scanfw.exe"};
  if (size > 1) args.emplace_back();
  for (size_t i = 1; i < size && args.size() < 65; ++i) {
    if (data[i] == 0)
      args.emplace_back();
    else
      args.back().push_back(static_cast<char>(data[i]));
  }

  Scan scan;
  for (std::string &a : args) scan.argv.push_back(&a[0]);
  scan.argv.push_back(nullptr);
  scan.language = language;
  scan.value = 0;
  const std::string out = fake::CollectOutput(RunScan, &scan);

  const Model model = ModelScan(args);
  std::string expected;
  for (int i = 0; i < model.warnings; ++i)
    expected +=
        std::string(MessageText(MsgNoFollowingArgument, language)) + "\n";
  std::vector<std::string> v;
  if (scan.value != model.value)
    v.push_back("option value " + std::to_string(scan.value) + ", model " +
                std::to_string(model.value));
  if (out != expected) v.push_back("option scan printed '" + out + "'");
  CommandLine line;
  ReadCommandLine(static_cast<int>(scan.argv.size()) - 1, scan.argv.data(),
                  &line);
  if (line.help != model.help || line.version != model.version ||
      line.list != model.list || line.exitCode != model.exitCode ||
      line.verbose != model.verbose || line.all != model.all ||
      line.check != model.check || line.policy.allowOlder != model.allowOlder ||
      line.policy.allowReinstall != model.allowReinstall ||
      line.oneAtATime != model.oneAtATime)
    v.push_back("whole-argument options differ from the model");
  if (line.optionValue != model.value)
    v.push_back("the command line's option value differs from the model");
  for (size_t i = 1; i < args.size(); ++i) {
    if (ParseOptionNumber(args[i].c_str()) != ModelNumber(args[i]))
      v.push_back("number of '" + args[i] + "' differs from the model");
  }
  fuzz::Check(v, "cmdline");
  return 0;
}
