#include "tests/fake/check/invariants.h"

#include <algorithm>
#include <cstring>

#include "app/discovery.h"
#include "app/entry.h"
#include "app/update.h"
#include "device/protocol.h"
#include "messages/messages.h"
#include "messages/usage.h"
#include "scanfw_version.h"
#include "tests/fake/check/faults.h"
#include "tests/fake/fake_image.h"
#include "tests/fake/fake_scanner.h"
#include "tests/fake/fake_service.h"

namespace fake {
namespace {

// The service controller's bound on each of its polls.
const uint32_t kServicePollBoundMs = 60000;

// The first letters first: the checks ask this of every call a run made.
bool Named(const Entry &e, const char *name) {
  return e.name[0] == name[0] && std::strcmp(e.name, name) == 0;
}

bool IsReady(uint16_t status) {
  return status == kStatusIdle || status == kStatusDone;
}

void CheckBalance(RunKind kind, std::vector<std::string> *v) {
  const int events = OpenHandles(HandleKind::Event);
  if (events != 0)
    v->push_back("completion events left open: " + std::to_string(events));
  const int threads = OpenHandles(HandleKind::Thread);
  if (threads != 0)
    v->push_back("thread handles left open: " + std::to_string(threads));
  if (OpenHandles(HandleKind::Manager) + OpenHandles(HandleKind::Service) != 0)
    v->push_back("service manager or service handle left open");
  if (S().badCloses != 0)
    v->push_back("closes of handles or blocks not open: " +
                 std::to_string(S().badCloses));
  if (!S().liveBlocks.empty() || S().blocksAllocated != S().blocksFreed)
    v->push_back("service configuration blocks not freed: " +
                 std::to_string(S().liveBlocks.size()));

  // Only the found scanner stays open, and it is the one that was written.
  int openCount = 0;
  for (const HandleInfo &h : S().handles) {
    if (h.kind != HandleKind::Device || !h.open) continue;
    ++openCount;
    const FakeDevice *d = Device(h.tag);
    if (d == nullptr || d->vendor != kTargetVendorId ||
        d->product != kTargetProductId)
      v->push_back("a device that is not the scanner left open: " +
                   std::to_string(h.tag));
  }
  if (openCount > 1 || (kind != RunKind::Whole && openCount != 0))
    v->push_back("device handles left open: " + std::to_string(openCount));
  const void *open = nullptr;
  for (const Entry &e : Entries()) {
    const HandleInfo *h =
        Named(e, "CreateFileA") && e.ok ? FindHandle(e.handle) : nullptr;
    if (h != nullptr && h->open) open = e.handle;
  }
  // Transfers go only to a scanner's handle while it is open (--all keeps
  // every scanner it found open until that one's verdict), and to the one
  // left open.
  std::vector<const void *> scanners;
  for (const Entry &e : Entries()) {
    if (Named(e, "CreateFileA") && e.ok) {
      const HandleInfo *h = FindHandle(e.handle);
      const FakeDevice *d = h != nullptr ? Device(h->tag) : nullptr;
      if (d != nullptr && d->vendor == kTargetVendorId &&
          d->product == kTargetProductId)
        scanners.push_back(e.handle);
    }
    if (Named(e, "CloseHandle"))
      scanners.erase(std::remove(scanners.begin(), scanners.end(), e.handle),
                     scanners.end());
    if ((Named(e, "WriteFile") || Named(e, "ReadFile")) &&
        (std::find(scanners.begin(), scanners.end(), e.handle) ==
             scanners.end() ||
         (open != nullptr && e.handle != open))) {
      v->push_back("a transfer to a device that is not the open scanner");
      break;
    }
  }
}

// No heap allocation between a completion event's creation and its close:
// that is the whole of one transfer.
void CheckTransferAllocations(std::vector<std::string> *v) {
  const std::vector<Entry> &log = Entries();
  for (size_t i = 0; i < log.size(); ++i) {
    if (!Named(log[i], "CreateEventA") || !log[i].ok) continue;
    for (size_t j = i + 1; j < log.size(); ++j) {
      if (Named(log[j], "CloseHandle") && log[j].handle == log[i].handle) {
        if (log[j].allocations != log[i].allocations)
          v->push_back("heap allocations on the transfer path: " +
                       std::to_string(log[j].allocations - log[i].allocations));
        break;
      }
    }
  }
}

bool Digits(const std::string &out, size_t *at, bool sign) {
  size_t p = *at;
  if (sign && p < out.size() && out[p] == '-') ++p;
  const size_t first = p;
  while (p < out.size() && out[p] >= '0' && out[p] <= '9') ++p;
  if (p == first) return false;
  *at = p;
  return true;
}

bool Literal(const std::string &out, size_t *at, const std::string &text) {
  if (out.compare(*at, text.size(), text) != 0) return false;
  *at += text.size();
  return true;
}

// "<prefix><number><suffix>" at *at.
bool Numbered(const std::string &out, size_t *at, const char *prefix,
              const char *suffix) {
  size_t p = *at;
  if (!Literal(out, &p, prefix) || !Digits(out, &p, true) ||
      !Literal(out, &p, suffix))
    return false;
  *at = p;
  return true;
}

bool HexDigits(const std::string &out, size_t *at, size_t count,
               bool lowerOnly) {
  const char *digits = lowerOnly ? "0123456789abcdef" : "0123456789ABCDEF";
  for (size_t i = *at; i < *at + count; ++i)
    if (i >= out.size() || out[i] == '\0' || !std::strchr(digits, out[i]))
      return false;
  *at += count;
  return true;
}

// The lines of a run that only answers: the usage text whole, the version
// lines, the device list's lines, and catalogue messages.
size_t AskingLine(const std::string &out, size_t at, LanguageIndex language) {
  const VersionTexts &texts = VersionTextsFor(language);
  size_t p = at;
  // Each alternative starts again at `at`.
  const auto again = [&p, at]() { return (p = at, true); };
  // The usage is the whole output, but for the closing prompt of a held
  // window.
  const std::string closing =
      std::string(MessageText(MsgPressAnyKey, language)) + "\n";
  if ((at == 0 && Literal(out, &p, UsageText(language)) &&
       (p == out.size() || out.compare(p, std::string::npos, closing) == 0)) ||
      (again() &&
       Literal(out, &p, std::string("scanfw ") + SCANFW_VERSION + "\n")) ||
      (again() && Literal(out, &p, texts.imageBefore) &&
       Digits(out, &p, false) && Literal(out, &p, texts.imageAfter)) ||
      (again() && Literal(out, &p, "SHA-256: ") &&
       HexDigits(out, &p, 64, true) && Literal(out, &p, "\n")) ||
      (again() && Literal(out, &p, texts.placeholder)) ||
      (again() && Numbered(out, &p, "\\\\.\\usbscan", " ") &&
       HexDigits(out, &p, 4, false) && Literal(out, &p, ":") &&
       HexDigits(out, &p, 4, false) && Literal(out, &p, " ") &&
       HexDigits(out, &p, 4, false) &&
       // --list ends there; --check tells the scanner's verdict.
       (Literal(out, &p, "\n") || Literal(out, &p, " current\n") ||
        Literal(out, &p, " newer\n") ||
        (Literal(out, &p, " needs ") && HexDigits(out, &p, 4, false) &&
         Literal(out, &p, "\n")))))
    return p;
  return at;
}

void CheckOutput(const std::string &out, RunKind kind,
                 std::vector<std::string> *v) {
  const LanguageIndex language = LanguageFromLangId(S().langId);
  size_t at = 0;
  // The option scan's warnings come before the option line.
  const char *warning = MessageText(MsgNoFollowingArgument, language);
  while (kind == RunKind::Whole && warning != nullptr &&
         Literal(out, &at, std::string(warning) + "\n")) {
  }
  // A run refused before it began (its log file cannot be opened) touched
  // nothing and printed nothing.
  const bool touched =
      std::any_of(Entries().begin(), Entries().end(), [](const Entry &e) {
        return Named(e, "CreateFileA") || Named(e, "OpenSCManagerA");
      });
  if (kind == RunKind::Whole && out.empty() && !touched) return;
  if (kind == RunKind::Whole && !Numbered(out, &at, "", "\n")) {
    v->push_back("the output does not begin with the option line");
    return;
  }
  while (at < out.size()) {
    // The longest known text here wins; a failed match leaves p at `at`.
    size_t best = at;
    for (int id = 0; id < kMessageCount; ++id) {
      const char *text = MessageText(id, language);
      size_t p = at;
      if (text != nullptr) Literal(out, &p, std::string(text) + "\n");
      if (id == MsgPressAnyKey && p != at && p != out.size()) {
        v->push_back("output after the closing prompt, at byte " +
                     std::to_string(p));
        return;
      }
      best = std::max(best, p);
    }
    size_t p = at;
    if (kind == RunKind::Whole)
      Numbered(out, &p, "Burning firmware... (", ")\n");
    best = std::max(best, p);
    p = at;
    // --all names each scanner before its update.
    if (kind == RunKind::Whole) Numbered(out, &p, "\\\\.\\usbscan", "\n");
    best = std::max(best, p);
    p = at;
    Numbered(out, &p, "QueryServiceConfig failed (", ")");
    best = std::max(best, p);
    if (kind == RunKind::Asking)
      best = std::max(best, AskingLine(out, at, language));
    if (best == at && out[at] == '\n') best = at + 1;
    if (best == at) {
      v->push_back("output that is no known text, at byte " +
                   std::to_string(at) + ": " + out.substr(at, 40));
      return;
    }
    at = best;
  }
}

void CheckProtocol(std::vector<std::string> *v) {
  const FakeImage &image = Image();
  const CommandBlock readiness = ReadinessQuery();
  const CommandBlock download = FirmwareDownload(image.length);
  const CommandBlock burn = BurnStatusQuery();

  char current = 0;         // the exchange under way: R, D, S, B or ?
  bool reading = false;     // in its read phase
  bool stageOk = false;     // its current phase has not failed
  uint32_t asked = 0;       // bytes the current phase asked for
  char completed = 0;       // the exchange just completed, if the last
  uint16_t lastStatus = 0;  // its answer
  bool bulkDone = false;
  bool paused = false;  // the pause before the burn followed the bulk

  for (const Entry &e : Entries()) {
    if (Named(e, "WriteFile")) {
      char kind = 'B';
      if (e.length == kCommandBlockSize) {
        kind = std::memcmp(e.bytes, readiness.bytes, 16) == 0  ? 'R'
               : std::memcmp(e.bytes, download.bytes, 16) == 0 ? 'D'
               : std::memcmp(e.bytes, burn.bytes, 16) == 0     ? 'S'
                                                               : '?';
      }
      if (kind == '?') v->push_back("an unknown command sent");
      if (kind == 'D' && !(completed == 'R' && IsReady(lastStatus)))
        v->push_back("download command without a ready status before it");
      if (kind == 'B') {
        if (completed != 'D')
          v->push_back("bulk write not right after a download exchange");
        if (e.buffer != image.data || e.length != image.length)
          v->push_back("bulk write of " + std::to_string(e.length) +
                       " bytes, not the image's " +
                       std::to_string(image.length) +
                       (e.buffer != image.data ? " from another address" : ""));
      }
      if (kind == 'S' && !(bulkDone && paused))
        v->push_back("burn query before the bulk write and the pause");
      current = kind;
      reading = false;
      stageOk = e.ok;
      asked = e.length;
      completed = 0;
    } else if (Named(e, "ReadFile")) {
      reading = true;
      stageOk = stageOk && e.ok;
      asked = e.length;
    } else if (Named(e, "WaitForSingleObject")) {
      if (!e.ok) stageOk = false;
    } else if (Named(e, "GetOverlappedResult")) {
      if (!(e.ok && stageOk && e.value == asked)) {
        stageOk = false;
        continue;
      }
      if (current == 'B') {
        bulkDone = true;
        paused = false;
        completed = 'B';
      } else if (reading) {
        completed = current;
        lastStatus = e.status;
      }
    } else if (Named(e, "Sleep")) {
      if (bulkDone && e.value >= kBurnStartPauseMs) paused = true;
    }
  }
}

// The console's calls: prints, and the wait of a held window after the run.
bool ConsoleCall(const Entry &e) {
  static const char *const names[] = {
      "GetStdHandle",       "GetConsoleMode",          "MultiByteToWideChar",
      "WriteConsoleW",      "FlushConsoleInputBuffer", "ReadConsoleInputA",
      "GetCurrentProcessId"};
  for (const char *name : names)
    if (Named(e, name)) return true;
  return Named(e, "WaitForSingleObject") && e.handle == kConsoleInput;
}

// The manager's calls and those the service controller makes beside them.
bool ServiceCall(const Entry &e) {
  static const char *const names[] = {
      "CloseServiceHandle", "LocalAlloc",    "LocalFree",
      "GetTickCount",       "Sleep",         "GetLastError",
      "SetLastError",       "FormatMessageA"};
  for (const char *name : names)
    if (Named(e, name)) return true;
  return IsManagerCall(e.name);
}

// Whether the simulated manager, left alone, lets a stopped service start
// again within the controller's polls.
bool ManagerLetsStart() {
  const FakeService &s = Service();
  if (!s.installed || s.startRefused || s.startFinalState != SERVICE_RUNNING ||
      s.stopFinalState != SERVICE_STOPPED || s.stopPendingQueries < 0 ||
      s.startPendingQueries < 0 || s.statusTrueValue != TRUE)
    return false;
  const uint64_t perQuery = static_cast<uint64_t>(s.waitHint) + s.statusQueryMs;
  const uint64_t queries = static_cast<uint64_t>(s.stopPendingQueries) +
                           static_cast<uint64_t>(s.startPendingQueries) + 2;
  return queries * perQuery < kServicePollBoundMs / 2;
}

void CheckService(size_t resumeFrom, std::vector<std::string> *v) {
  const std::vector<Entry> &log = Entries();
  if (resumeFrom == static_cast<size_t>(-1)) {
    resumeFrom = 0;
    for (size_t i = 0; i < log.size(); ++i)
      if (!ServiceCall(log[i]) && !ConsoleCall(log[i])) resumeFrom = i + 1;
  }
  bool stopped = false, disabled = false, resumeFailed = false;
  for (size_t i = 0; i < log.size(); ++i) {
    const Entry &e = log[i];
    if (Named(e, "ControlService") && e.ok && e.length == SERVICE_CONTROL_STOP)
      stopped = true;
    if (Named(e, "ChangeServiceConfigA") && e.ok &&
        e.length == SERVICE_DISABLED)
      disabled = true;
    if (i < resumeFrom || !ServiceCall(e)) continue;
    // The size probe is meant to fail with ERROR_INSUFFICIENT_BUFFER; one
    // that succeeds is a manager that answers nothing.
    const bool sizeProbe =
        Named(e, "QueryServiceConfigA") && e.buffer == nullptr;
    if (sizeProbe ? (e.ok || e.value != ERROR_INSUFFICIENT_BUFFER) : !e.ok)
      resumeFailed = true;
  }
  if (!(stopped || disabled) || resumeFailed) return;
  const FakeService &s = Service();
  if (s.startType != SERVICE_AUTO_START)
    v->push_back("the service the program " +
                 std::string(stopped ? "stopped" : "disabled") + " ends as " +
                 DescribeService() + ", not automatic start");
  if (stopped && ManagerLetsStart() && s.state != SERVICE_RUNNING &&
      s.state != SERVICE_START_PENDING)
    v->push_back("the service the program stopped ends as " +
                 DescribeService() + " though it could start");
}

// A run that only answers opens no service handle and moves no data.
void CheckAsking(std::vector<std::string> *v) {
  for (const Entry &e : Entries()) {
    if (IsManagerCall(e.name)) {
      v->push_back(std::string("a run that only answers called ") + e.name);
      return;
    }
    if (Named(e, "WriteFile") || Named(e, "ReadFile")) {
      v->push_back("a run that only answers moved data to a device");
      return;
    }
  }
}

// The command line as the program reads it; the option rule itself is held
// to its reference model by the command-line fuzzer.
CommandLine ReadArguments(const std::vector<std::string> &args) {
  std::vector<std::string> copy = args;
  copy.insert(copy.begin(), "scanfw.exe");
  std::vector<char *> argv;
  for (std::string &a : copy) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  CommandLine line;
  ReadCommandLine(static_cast<int>(copy.size()), argv.data(), &line);
  return line;
}

}  // namespace

RunKind KindOfArguments(const std::vector<std::string> &args) {
  const CommandLine line = ReadArguments(args);
  return line.help || line.version || line.list || line.check ||
                 line.error != kLineRunnable
             ? RunKind::Asking
             : RunKind::Whole;
}

void CheckExitStatus(const std::vector<std::string> &args,
                     const std::string &output, int status,
                     std::vector<std::string> *violations) {
  int expected = 0;
  const CommandLine line = ReadArguments(args);
  // Refused before it began (a wrong command line, a log file that cannot
  // be opened): nothing printed, 7 with --exit-code.
  const bool refused =
      line.error != kLineRunnable || (line.log != nullptr && output.empty());
  if (refused && !line.help) {
    // A detection rule reads --check's status: never 0 when refused.
    expected = line.exitCode || line.check ? kOutcomeRefused : 0;
  } else if (line.check && !line.help && !line.version && !line.list) {
    // --check's answer, whether or not asked: 8 when a scanner needs the
    // firmware, 0 when all are current or newer, 1 with none, 9 without a
    // release.
    expected = output.find(" needs ") != std::string::npos
                   ? kOutcomeNeedsFirmware
               : output.find(" current\n") != std::string::npos ||
                       output.find(" newer\n") != std::string::npos
                   ? kOutcomeBurnDone
               : Image().release < 0 ? kOutcomeReleaseUnknown
                                     : kOutcomeNotFound;
    if (output.find(
            MessageText(MsgUpdateCancelled, LanguageFromLangId(S().langId))) !=
        std::string::npos)
      expected = kOutcomeCancelled;
  } else if (line.exitCode && KindOfArguments(args) == RunKind::Whole) {
    static const struct {
      MessageId id;
      int code;
    } verdicts[] = {
        {MsgBurnDone, kOutcomeBurnDone},
        {MsgDeviceNotFound, kOutcomeNotFound},
        {MsgFindResourceError, kOutcomeImageError},
        {MsgLoadResourceError, kOutcomeImageError},
        {MsgLockResourceError, kOutcomeImageError},
        {MsgResourceEmpty, kOutcomeImageError},
        {MsgStatusCheckError, kOutcomeNotReady},
        {MsgDeviceNotResponding, kOutcomeNotReady},
        {MsgSendCommandError, kOutcomeSendError},
        {MsgSendDataError, kOutcomeSendError},
        {MsgBurnError, kOutcomeBurnError},
        {MsgUpdateCancelled, kOutcomeCancelled},
        {MsgFirmwareNewer, kOutcomeFirmwareNewer},
        {MsgFirmwareCurrent, ExitCodeOf(kOutcomeFirmwareCurrent)},
    };
    const LanguageIndex language = LanguageFromLangId(S().langId);
    size_t last = std::string::npos;
    for (const auto &verdict : verdicts) {
      const size_t at =
          output.rfind(std::string(MessageText(verdict.id, language)) + "\n");
      if (at != std::string::npos &&
          (last == std::string::npos || at >= last)) {
        last = at;
        expected = verdict.code;
      }
    }
    if (last == std::string::npos) {
      violations->push_back("a run with --exit-code that ends with no verdict");
      return;
    }
    // --all: the first scanner that failed decides, not the last verdict.
    if (ReadArguments(args).all && expected != kOutcomeNotFound) {
      size_t first = std::string::npos;
      expected = kOutcomeBurnDone;
      for (const auto &verdict : verdicts) {
        const std::string text =
            std::string(MessageText(verdict.id, language)) + "\n";
        const size_t at = output.find(text);
        if (verdict.code != kOutcomeBurnDone && at != std::string::npos &&
            at < first) {
          first = at;
          expected = verdict.code;
        }
      }
    }
  }
  if (status != expected)
    violations->push_back("exit status " + std::to_string(status) + ", not " +
                          std::to_string(expected));
}

std::vector<std::string> CheckInvariantsFrom(const std::string &output,
                                             RunKind kind, size_t resumeFrom) {
  Bookkeeping b;
  std::vector<std::string> v;
  CheckBalance(kind, &v);
  CheckTransferAllocations(&v);
  CheckOutput(output, kind, &v);
  CheckProtocol(&v);
  CheckService(resumeFrom, &v);
  if (kind == RunKind::Asking) CheckAsking(&v);
  return v;
}

std::string Violations(const std::string &output, RunKind kind) {
  std::string joined;
  for (const std::string &line : CheckInvariantsFrom(output, kind))
    joined += line + "\n";
  return joined;
}

}  // namespace fake
