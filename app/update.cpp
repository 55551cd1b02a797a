#include "app/update.h"

#include <cstring>

#include "app/interrupt.h"
#include "device/protocol.h"
#include "messages/diagnostics.h"
#include "messages/run_log.h"
#include "platform/win32.h"
#include "resources/firmware_image.h"
#include "service/wia_control.h"

namespace {

void LogStatus(char phase, uint16_t status) {
  diag::Line("status word 0x%04X: %s", static_cast<unsigned>(status),
             StatusMeaning(phase, status));
}

// The pauses of the update, each in the log with what it waits for.
void Pause(const char *what, DWORD milliseconds) {
  diag::Line("waiting %lu ms: %s", static_cast<unsigned long>(milliseconds),
             what);
  Sleep(milliseconds);
}

// Asks until the scanner answers ready. The time is measured as elapsed
// ticks, which stays exact when the 32-bit tick counter wraps. An interrupt
// is taken before each query: at most one pause after it arrived.
UpdateOutcome WaitUntilReady(DeviceHandle device, LanguageIndex language,
                             ResponseBlock *response) {
  const CommandBlock query = ReadinessQuery();
  const DWORD start = GetTickCount();
  for (;;) {
    ReportStep(kStepReadiness);
    if (CancelAtSafePoint()) {
      diag::Note(
          "the update stops before a readiness query: a console "
          "control event arrived");
      PrintMessage(MsgUpdateCancelled, language);
      return kOutcomeCancelled;
    }
    const DWORD elapsed = static_cast<DWORD>(GetTickCount() - start);
    if (elapsed >= kReadinessTimeoutMs) {
      diag::Line("no ready answer after %lu ms (the bound is %lu ms)",
                 static_cast<unsigned long>(elapsed),
                 static_cast<unsigned long>(kReadinessTimeoutMs));
      PrintMessage(MsgDeviceNotResponding, language);
      return kOutcomeNotReady;
    }
    if (!ExchangeCommand(device, query, response, language)) {
      PrintMessage(MsgStatusCheckError, language);
      return kOutcomeNotReady;
    }
    const uint16_t status = DeviceStatus(*response);
    LogStatus('R', status);
    if (IsReady(status)) return kOutcomeBurnDone;
    PrintMessage(MsgDeviceBusy, language);
    Pause("pause before the next readiness query", kReadinessPauseMs);
  }
}

// Prints a message of the writing phase, after the notice of a refused
// interrupt if one is due.
void Report(int id, LanguageIndex language) {
  AcknowledgeRefusedInterrupt(language);
  PrintMessage(id, language);
}

bool SendImage(DeviceHandle device, LanguageIndex language,
               const FirmwareImage &image, ResponseBlock *response) {
  ReportStep(kStepSending);
  // The answer to the download command decides nothing: the data follow.
  if (!ExchangeCommand(device, FirmwareDownload(image.Length), response,
                       language)) {
    Report(MsgSendCommandError, language);
    return false;
  }
  LogStatus('D', DeviceStatus(*response));
  if (!WriteBulkData(device, image.Data, image.Length, language)) {
    Report(MsgSendDataError, language);
    return false;
  }
  return true;
}

// Polls without a pause while the scanner burns: its answers and the
// transport's waits set the pace. Bounded as the readiness wait is, by
// elapsed ticks.
UpdateOutcome FollowBurn(DeviceHandle device, LanguageIndex language,
                         ResponseBlock *response) {
  const CommandBlock query = BurnStatusQuery();
  const DWORD start = GetTickCount();
  uint32_t progress = 1;
  for (;;) {
    if (static_cast<DWORD>(GetTickCount() - start) >= kBurnTimeoutMs) {
      diag::Note("the scanner still answers burning after 600000 ms");
      Report(MsgBurnError, language);
      return kOutcomeBurnError;
    }
    if (!ExchangeCommand(device, query, response, language)) {
      Report(MsgBurnError, language);
      return kOutcomeBurnError;
    }
    const uint16_t status = DeviceStatus(*response);
    LogStatus('B', status);
    if (status == kStatusBurning) {
      ReportStep(kStepBurning, progress);
      AcknowledgeRefusedInterrupt(language);
      PrintConsole("Burning firmware... (%d)\n", static_cast<int>(progress));
      ++progress;  // unsigned, so an endless burn cannot overflow into UB
      continue;
    }
    if (IsReady(status)) {
      Report(MsgBurnDone, language);
      return kOutcomeBurnDone;
    }
    Report(MsgBurnError, language);
    return kOutcomeBurnError;
  }
}

// From the download command to the verdict. The system is kept from
// sleeping for as long, and an interrupt is refused.
UpdateOutcome WriteAndBurn(DeviceHandle device, LanguageIndex language,
                           const FirmwareImage &image,
                           ResponseBlock *response) {
  SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
  UpdateOutcome outcome = kOutcomeSendError;
  if (SendImage(device, language, image, response)) {
    ReportStep(kStepPause);
    Pause("pause before the first burn-status query", kBurnStartPauseMs);
    Report(MsgUpgradeWait, language);
    outcome = FollowBurn(device, language, response);
  }
  SetThreadExecutionState(ES_CONTINUOUS);
  EndWriting();
  return outcome;
}

// From the image to the verdict; every outcome is printed here.
UpdateOutcome UpdateFirmware(DeviceHandle device, LanguageIndex language) {
  PrintMessage(MsgLoadingFirmware, language);
  FirmwareImage image = {nullptr, 0};
  if (!LoadFirmwareImage(language, &image)) return kOutcomeImageError;

  PrintConsole("\n");
  PrintMessage(MsgCheckingFirmware, language);

  ResponseBlock response;
  std::memset(&response, 0, sizeof(response));
  const UpdateOutcome ready = WaitUntilReady(device, language, &response);
  if (ready != kOutcomeBurnDone) return ready;

  PrintMessage(MsgSendingFirmware, language);
  // The record holds what led here before the scanner is written; from here
  // to the verdict nothing waits for its file.
  runlog::Flush();
  // The last moment at which stopping leaves the scanner as it was.
  if (!BeginWriting()) {
    diag::Note(
        "the update stops before the download command: a console "
        "control event arrived");
    PrintMessage(MsgUpdateCancelled, language);
    return kOutcomeCancelled;
  }
  return WriteAndBurn(device, language, image, &response);
}

}  // namespace

UpdateOutcome ReleaseVerdict(int scannerRelease, const UpdatePolicy &policy) {
  const int image = CarriedFirmwareRelease();
  if (image < 0 || scannerRelease < 0) return kOutcomeBurnDone;
  if (scannerRelease > image && !policy.allowOlder)
    return kOutcomeFirmwareNewer;
  if (scannerRelease == image && !policy.allowReinstall)
    return kOutcomeFirmwareCurrent;
  return kOutcomeBurnDone;
}

UpdateOutcome RunUpdate(DeviceHandle device, LanguageIndex language) {
  return RunUpdate(device, language, -1, UpdatePolicy());
}

UpdateOutcome RunUpdate(DeviceHandle device, LanguageIndex language,
                        int scannerRelease, const UpdatePolicy &policy) {
  CWIAControl service;
  ServiceHold hold;
  const UpdateOutcome outcome =
      UpdateScanner(device, language, scannerRelease, policy, &service, &hold);
  // A scanner left as it is leaves the service as it is, unasked.
  if (hold.asked) ReleaseService(&service, hold);
  return outcome;
}

UpdateOutcome UpdateScanner(DeviceHandle device, LanguageIndex language,
                            int scannerRelease, const UpdatePolicy &policy,
                            CWIAControl *service, ServiceHold *hold) {
  PrintMessage(MsgDeviceFound, language);
  const UpdateOutcome verdict = ReleaseVerdict(scannerRelease, policy);
  if (verdict != kOutcomeBurnDone) {
    diag::Line("the scanner reports release %04X, the image is %04X: %s",
               static_cast<unsigned>(scannerRelease),
               static_cast<unsigned>(CarriedFirmwareRelease()),
               OutcomeName(verdict));
    PrintMessage(verdict == kOutcomeFirmwareNewer ? MsgFirmwareNewer
                                                  : MsgFirmwareCurrent,
                 language);
    return verdict;
  }

  TakeService(service, hold);
  return UpdateFirmware(device, language);
}

void TakeService(CWIAControl *service, ServiceHold *hold) {
  if (hold->asked) return;
  hold->asked = true;
  // The service is given back only if it was taken away, whatever happens
  // in between. Once the console control handler has taken the service over
  // (console closed, logoff, shutdown), this thread leaves it alone.
  if (!BeginServiceCall()) return;
  SERVICE_STATUS initial;
  std::memset(&initial, 0, sizeof(initial));
  const BOOL queried = service->QueryStatus(&initial);
  if (queried && diag::On()) service->LogStartType("found");
  hold->wasActive = queried != FALSE && initial.dwControlsAccepted != 0;
  if (hold->wasActive) {
    NoteServiceSuspended();
    service->SuspendService();
  }
  EndServiceCall();
}

void ReleaseService(CWIAControl *service, const ServiceHold &hold) {
  if (hold.wasActive && BeginServiceCall()) {
    service->ResumeService();
    NoteServiceGivenBack();
    EndServiceCall();
  }
  // The log's last word on the service is asked of the manager, not assumed.
  if (diag::On() && BeginServiceCall()) {
    SERVICE_STATUS last;
    if (service->QueryStatus(&last)) service->LogStartType("at the end");
    EndServiceCall();
  }
  LogServiceEnd();
}
