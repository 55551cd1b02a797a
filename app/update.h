// The firmware update, from the found scanner to the verdict.
#pragma once

#include <cstdint>

#include "device/transport.h"
#include "messages/messages.h"
#include "service/wia_control.h"

const uint32_t kReadinessTimeoutMs = 600000;
const uint32_t kReadinessPauseMs = 1000;
const uint32_t kBurnStartPauseMs = 6000;
// A scanner that still answers "burning" this long after the first
// burn-status query has failed: the service must come back.
const uint32_t kBurnTimeoutMs = 600000;

// How a run ended, for callers that report it beyond the printed messages.
// The values are the process exit codes that deployment tools read.
enum UpdateOutcome {
  kOutcomeBurnDone = 0,
  kOutcomeNotFound = 1,
  kOutcomeImageError = 2,
  kOutcomeNotReady = 3,
  kOutcomeSendError = 4,
  kOutcomeBurnError = 5,
  kOutcomeCancelled = 6,
  // Runs that update nothing: a command line or log file refused, and the
  // answers of --check.
  kOutcomeRefused = 7,
  kOutcomeNeedsFirmware = 8,
  kOutcomeReleaseUnknown = 9,
};

// Their names, for the log, in the order of their values.
const char *const kOutcomeNames[] = {"update done",
                                     "no scanner found",
                                     "firmware image unavailable",
                                     "scanner not ready",
                                     "image not sent",
                                     "burn failed",
                                     "cancelled by the user",
                                     "command line or log file refused",
                                     "a scanner needs this firmware",
                                     "firmware release unknown"};
static_assert(sizeof kOutcomeNames / sizeof kOutcomeNames[0] ==
                  kOutcomeReleaseUnknown + 1,
              "every outcome has its name");

inline const char *OutcomeName(int outcome) {
  return outcome >= 0 && outcome <= kOutcomeReleaseUnknown
             ? kOutcomeNames[outcome]
             : "unknown outcome";
}

// Reports every outcome as messages and returns it; the device handle stays
// open.
UpdateOutcome RunUpdate(DeviceHandle device, LanguageIndex language);

// The still-image service over a run that updates one scanner or several:
// asked about and taken out of the way by the first UpdateScanner, given
// back once by ReleaseService after the last verdict.
struct ServiceHold {
  bool asked = false;
  bool wasActive = false;
};

// One scanner's update, from MsgDeviceFound to its verdict; the handle
// stays open.
UpdateOutcome UpdateScanner(DeviceHandle device, LanguageIndex language,
                            CWIAControl *service, ServiceHold *hold);
void ReleaseService(CWIAControl *service, const ServiceHold &hold);

// --all: every attached scanner in index order, each named on a line of its
// own before its update and closed after its verdict. 0 when every one was
// burnt, 1 when none was found, else the first failure's outcome.
UpdateOutcome UpdateEveryScanner(LanguageIndex language);
