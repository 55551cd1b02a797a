// --all: the update of every attached scanner, one after another.
#include "app/discovery.h"
#include "app/interrupt.h"
#include "app/update.h"
#include "messages/diagnostics.h"

UpdateOutcome UpdateEveryScanner(LanguageIndex language) {
  CWIAControl service;
  ServiceHold hold;
  UpdateOutcome result = kOutcomeNotFound;
  bool any = false;
  int index = -1;
  for (;;) {
    // Only the first search says that there is no scanner.
    const DeviceHandle device = DiscoverAmong(
        language, Candidates{index + 1, kCandidateCount - 1}, !any, &index);
    if (device == INVALID_HANDLE_VALUE) {
      if (RunWasCancelled() && (!any || result == kOutcomeBurnDone))
        result = kOutcomeCancelled;
      break;
    }
    char name[kFormatBufferSize];
    FormatToBuffer(name, "\\\\.\\usbscan%d", index);
    PrintConsole("%s\n", name);
    // A burn that went before is over: this scanner starts from the top.
    if (any) BeginNextScanner();
    const UpdateOutcome outcome =
        UpdateScanner(device, language, &service, &hold);
    CloseDevice(device);
    if (!any || (result == kOutcomeBurnDone && outcome != kOutcomeBurnDone))
      result = outcome;
    any = true;
    if (diag::On()) {
      char text[kFormatBufferSize];
      FormatToBuffer(text, "%s: outcome %d, %s", name,
                     static_cast<int>(outcome), OutcomeName(outcome));
      diag::Note(text);
    }
    if (outcome == kOutcomeCancelled || index == kCandidateCount - 1) break;
  }
  if (hold.asked) ReleaseService(&service, hold);
  return result;
}
