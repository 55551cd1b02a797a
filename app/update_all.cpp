// --all: the update of every scanner attached when the run starts.
#include "app/discovery.h"
#include "app/interrupt.h"
#include "app/update.h"
#include "messages/diagnostics.h"

namespace {

// The run's outcome so far with one more scanner's: the first non-zero exit
// code wins; among zeros an update done is what the run did.
UpdateOutcome Combine(UpdateOutcome result, UpdateOutcome outcome) {
  if (ExitCodeOf(result) != 0) return result;
  if (ExitCodeOf(outcome) != 0 || outcome == kOutcomeBurnDone) return outcome;
  return result;
}

}  // namespace

UpdateOutcome UpdateEveryScanner(LanguageIndex language,
                                 const UpdatePolicy &policy) {
  // The list is fixed before the first command: a scanner that re-appears
  // under another name after its burn is not updated twice, and one whose
  // name moved is not missed.
  ScannerList list;
  if (!DiscoverEveryScanner(language, &list)) return kOutcomeCancelled;
  if (list.count == 0) return kOutcomeNotFound;

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
    char name[kFormatBufferSize];
    FormatToBuffer(name, "\\\\.\\usbscan%d", scanner.index);
    PrintConsole("%s\n", name);
    // A burn that went before is over: this scanner starts from the top.
    if (next > 0) BeginNextScanner();
    const UpdateOutcome outcome = UpdateScanner(
        scanner.device, language, scanner.release, policy, &service, &hold);
    CloseDevice(scanner.device);
    result = Combine(result, outcome);
    if (diag::On()) {
      char text[kFormatBufferSize];
      FormatToBuffer(text, "%s: outcome %d, %s", name, ExitCodeOf(outcome),
                     OutcomeName(outcome));
      diag::Note(text);
    }
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
