// --all: the update of every scanner attached when the run starts, side by
// side or one at a time.
//
// Threads: the main thread finds the scanners, takes the service, starts one
// thread per scanner and writes the blocks; each scanner's thread runs its
// update from "Device found!!" to the verdict on its own handle, printing
// into its own block (messages.h), and touches nothing else but its step
// word and the interrupt state, which are atomic. Its block and outcome are
// read only after the main thread has seen the thread end.
#include <atomic>
#include <string>

#include "app/discovery.h"
#include "app/interrupt.h"
#include "app/update.h"
#include "messages/diagnostics.h"
#include "platform/win32.h"

namespace {

// The run's outcome so far with one more scanner's: the first non-zero exit
// code wins; among zeros an update done is what the run did.
UpdateOutcome Combine(UpdateOutcome result, UpdateOutcome outcome) {
  if (ExitCodeOf(result) != 0) return result;
  if (ExitCodeOf(outcome) != 0 || outcome == kOutcomeBurnDone) return outcome;
  return result;
}

void NoteOutcome(const char *name, UpdateOutcome outcome) {
  if (!diag::On()) return;
  char text[kFormatBufferSize];
  FormatToBuffer(text, "%s: outcome %d, %s", name, ExitCodeOf(outcome),
                 OutcomeName(outcome));
  diag::Note(text);
}

// One scanner of the side-by-side run.
struct ScannerTask {
  FoundScanner scanner;
  LanguageIndex language;
  const UpdatePolicy *policy;
  CWIAControl *service;
  ServiceHold *hold;
  std::string block;
  UpdateOutcome outcome;
  HANDLE thread;
  std::atomic<int> step;
  std::atomic<uint32_t> progress;
};

thread_local ScannerTask *t_task = nullptr;

// Room for a whole block but a long burn's progress lines, taken before the
// thread starts.
const size_t kBlockReserve = 4096;
// How often the console's status line is brought up to date.
const DWORD kStatusMs = 250;

DWORD WINAPI UpdateOnItsThread(LPVOID parameter) {
  ScannerTask *task = static_cast<ScannerTask *>(parameter);
  t_task = task;
  BindOutputBlock(&task->block);
  diag::SetThreadSubject(task->scanner.name);
  task->outcome =
      UpdateScanner(task->scanner.device, task->language, task->scanner.release,
                    *task->policy, task->service, task->hold);
  CloseDevice(task->scanner.device);
  BindOutputBlock(nullptr);
  diag::SetThreadSubject(nullptr);
  task->step = kStepDone;
  t_task = nullptr;
  return 0;
}

// "usbscan1 ready? | usbscan3 sending | usbscan4 burning (12)": the
// scanners still working and where each is; "1 ready? | 3 sending | 4
// burning 12" when that is wider than a console's 80 columns.
std::string StepsLine(const ScannerTask *tasks, int count, bool compact) {
  std::string line;
  for (int i = 0; i < count; ++i) {
    const int step = tasks[i].step;
    if (step == kStepDone) continue;
    if (!line.empty()) line += " | ";
    // The name without its "\\.\" prefix, or only its number.
    line += tasks[i].scanner.name + (compact ? 11 : 4);
    char text[kFormatBufferSize];
    FormatToBuffer(text, compact ? " burning %u" : " burning (%u)",
                   static_cast<unsigned>(tasks[i].progress));
    line += step == kStepReadiness ? " ready?"
            : step == kStepSending ? " sending"
            : step == kStepPause   ? " waiting"
            : step == kStepBurning ? text
                                   : " starting";
  }
  return line;
}

void ShowSteps(const ScannerTask *tasks, int count) {
  if (!OutputIsConsole()) return;
  const size_t kColumns = 79;
  std::string line = StepsLine(tasks, count, false);
  if (line.size() > kColumns) line = StepsLine(tasks, count, true);
  // Too many scanners for one line even so: the end is what is cut.
  if (line.size() > kColumns) line.resize(kColumns);
  ShowStatusLine(line.c_str());
}

UpdateOutcome SideBySide(const ScannerList &list, LanguageIndex language,
                         const UpdatePolicy &policy) {
  CWIAControl service;
  ServiceHold hold;
  // Taken once, before the first command to any scanner, and only if one
  // will be updated.
  for (int i = 0; i < list.count; ++i) {
    if (ReleaseVerdict(list.scanners[i].release, policy) == kOutcomeBurnDone) {
      TakeService(&service, &hold);
      break;
    }
  }
  static ScannerTask tasks[kCandidateCount];
  for (int i = 0; i < list.count; ++i) {
    ScannerTask &task = tasks[i];
    task.scanner = list.scanners[i];
    task.language = language;
    task.policy = &policy;
    task.service = &service;
    task.hold = &hold;
    task.block.clear();
    task.block.reserve(kBlockReserve);
    task.outcome = kOutcomeBurnDone;
    task.step = kStepWaiting;
    task.progress = 0;
  }
  for (int i = 0; i < list.count; ++i) {
    tasks[i].thread =
        CreateThread(nullptr, 0, UpdateOnItsThread, &tasks[i], 0, nullptr);
    // Without a thread of its own the scanner is updated here, in turn.
    if (tasks[i].thread == nullptr) {
      diag::CallFailedLastError("CreateThread");
      UpdateOnItsThread(&tasks[i]);
    }
  }
  UpdateOutcome result = kOutcomeFirmwareCurrent;
  for (int i = 0; i < list.count; ++i) {
    ScannerTask &task = tasks[i];
    if (task.thread != nullptr) {
      for (;;) {
        const DWORD waited = WaitForSingleObject(task.thread, kStatusMs);
        if (waited == WAIT_OBJECT_0) break;
        // A wait that fails is tried again: every step of an update is
        // bounded, so its thread ends.
        if (waited != WAIT_TIMEOUT) Sleep(kStatusMs);
        ShowSteps(tasks, list.count);
      }
      CloseHandle(task.thread);
      task.thread = nullptr;
    }
    ShowStatusLine("");
    PrintConsole("%s\n", task.scanner.name);
    WriteBlock(task.block, task.scanner.name);
    result = Combine(result, task.outcome);
    NoteOutcome(task.scanner.name, task.outcome);
    ShowSteps(tasks, list.count);
  }
  ShowStatusLine("");
  for (int i = 0; i < list.count; ++i) {
    tasks[i].block.clear();
    tasks[i].block.shrink_to_fit();
  }
  if (hold.asked) ReleaseService(&service, hold);
  return result;
}

UpdateOutcome OneAtATime(const ScannerList &list, LanguageIndex language,
                         const UpdatePolicy &policy) {
  CWIAControl service;
  ServiceHold hold;
  UpdateOutcome result = kOutcomeFirmwareCurrent;
  int next = 0;
  bool stopped = false;
  for (; next < list.count; ++next) {
    const FoundScanner &scanner = list.scanners[next];
    // An interrupt stops the run before the next scanner, whether the one
    // before refused it (it was being written) or took it.
    if (next > 0 && InterruptArrived()) break;
    const char *name = scanner.name;
    PrintConsole("%s\n", name);
    const UpdateOutcome outcome = UpdateScanner(
        scanner.device, language, scanner.release, policy, &service, &hold);
    CloseDevice(scanner.device);
    result = Combine(result, outcome);
    NoteOutcome(name, outcome);
    if (outcome == kOutcomeCancelled) {
      stopped = true;
      ++next;
      break;
    }
  }
  // Scanners never started: a cancel only when one of them would have been
  // updated.
  bool leftBehind = false;
  for (int i = next; i < list.count; ++i) {
    if (ReleaseVerdict(list.scanners[i].release, policy) == kOutcomeBurnDone)
      leftBehind = true;
    CloseDevice(list.scanners[i].device);
  }
  if (leftBehind && !stopped) {
    diag::Note("an interrupt arrived: the scanners not yet started are left");
    PrintMessage(MsgUpdateCancelled, language);
    NoteRunCancelled();
    result = Combine(result, kOutcomeCancelled);
  }
  if (hold.asked) ReleaseService(&service, hold);
  return result;
}

}  // namespace

void ReportStep(ScannerStep step, uint32_t progress) {
  if (t_task == nullptr) return;
  t_task->progress = progress;
  t_task->step = step;
}

UpdateOutcome UpdateEveryScanner(LanguageIndex language,
                                 const UpdatePolicy &policy, bool oneAtATime) {
  // The list is fixed before the first command: a scanner that re-appears
  // under another name after its burn is not updated twice, and one whose
  // name moved is not missed.
  static ScannerList list;
  if (!DiscoverEveryScanner(language, &list)) return kOutcomeCancelled;
  if (list.count == 0) return kOutcomeNotFound;
  return oneAtATime ? OneAtATime(list, language, policy)
                    : SideBySide(list, language, policy);
}
