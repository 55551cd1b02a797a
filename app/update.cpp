#include "app/update.h"

#include <cstring>

#include "device/protocol.h"
#include "platform/win32.h"
#include "resources/firmware_image.h"
#include "service/wia_control.h"

namespace {

bool IsReady(uint16_t status) {
  return status == kStatusIdle || status == kStatusDone;
}

// Asks until the scanner answers ready. The time is measured as elapsed
// ticks, which stays exact when the 32-bit tick counter wraps.
bool WaitUntilReady(DeviceHandle device, LanguageIndex language,
                    ResponseBlock *response) {
  const CommandBlock query = ReadinessQuery();
  const DWORD start = GetTickCount();
  for (;;) {
    if (static_cast<DWORD>(GetTickCount() - start) >= kReadinessTimeoutMs) {
      PrintMessage(MsgDeviceNotResponding, language);
      return false;
    }
    if (!ExchangeCommand(device, query, response)) {
      PrintMessage(MsgStatusCheckError, language);
      return false;
    }
    if (IsReady(DeviceStatus(*response))) return true;
    PrintMessage(MsgDeviceBusy, language);
    Sleep(kReadinessPauseMs);
  }
}

bool SendImage(DeviceHandle device, LanguageIndex language,
               const FirmwareImage &image, ResponseBlock *response) {
  PrintMessage(MsgSendingFirmware, language);
  // The answer to the download command decides nothing: the data follow.
  if (!ExchangeCommand(device, FirmwareDownload(image.Length), response)) {
    PrintMessage(MsgSendCommandError, language);
    return false;
  }
  if (!WriteBulkData(device, image.Data, image.Length)) {
    PrintMessage(MsgSendDataError, language);
    return false;
  }
  return true;
}

// Polls without a pause while the scanner burns: its answers and the
// transport's waits set the pace.
UpdateOutcome FollowBurn(DeviceHandle device, LanguageIndex language,
                         ResponseBlock *response) {
  const CommandBlock query = BurnStatusQuery();
  uint32_t progress = 1;
  for (;;) {
    if (!ExchangeCommand(device, query, response)) {
      PrintMessage(MsgBurnError, language);
      return kOutcomeBurnError;
    }
    const uint16_t status = DeviceStatus(*response);
    if (status == kStatusBurning) {
      PrintConsole("Burning firmware... (%d)\n", static_cast<int>(progress));
      ++progress;  // unsigned, so an endless burn cannot overflow into UB
      continue;
    }
    if (IsReady(status)) {
      PrintMessage(MsgBurnDone, language);
      return kOutcomeBurnDone;
    }
    PrintMessage(MsgBurnError, language);
    return kOutcomeBurnError;
  }
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
  if (!WaitUntilReady(device, language, &response)) return kOutcomeNotReady;
  if (!SendImage(device, language, image, &response)) return kOutcomeSendError;

  Sleep(kBurnStartPauseMs);
  PrintMessage(MsgUpgradeWait, language);
  return FollowBurn(device, language, &response);
}

}  // namespace

UpdateOutcome RunUpdate(DeviceHandle device, LanguageIndex language) {
  CWIAControl service;
  PrintMessage(MsgDeviceFound, language);

  // The service is given back only if it was taken away, whatever happens
  // in between.
  SERVICE_STATUS initial;
  std::memset(&initial, 0, sizeof(initial));
  const bool serviceWasActive =
      service.QueryStatus(&initial) != FALSE && initial.dwControlsAccepted != 0;
  if (serviceWasActive) service.SuspendService();

  const UpdateOutcome outcome = UpdateFirmware(device, language);

  if (serviceWasActive) service.ResumeService();
  return outcome;
}
