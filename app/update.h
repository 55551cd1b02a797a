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
  // A scanner that runs a newer release than the image is left as it is.
  kOutcomeFirmwareNewer = 10,
  // One that runs the image's release already is left as it is too; the
  // rollout has what it wants, so its exit code is 0 (ExitCodeOf).
  kOutcomeFirmwareCurrent = 11,
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
                                     "firmware release unknown",
                                     "firmware newer than this update",
                                     "firmware already current"};
static_assert(sizeof kOutcomeNames / sizeof kOutcomeNames[0] ==
                  kOutcomeFirmwareCurrent + 1,
              "every outcome has its name");

inline const char *OutcomeName(int outcome) {
  return outcome >= 0 && outcome <= kOutcomeFirmwareCurrent
             ? kOutcomeNames[outcome]
             : "unknown outcome";
}

// The process exit code --exit-code gives for an outcome.
inline int ExitCodeOf(UpdateOutcome outcome) {
  return outcome == kOutcomeFirmwareCurrent ? 0 : static_cast<int>(outcome);
}

// What the user allows beyond an update to the image's release from an
// older one (--allow-older, --allow-reinstall).
struct UpdatePolicy {
  bool allowOlder = false;      // burn over a newer release
  bool allowReinstall = false;  // burn over the same release
};

// Whether a scanner that reports `scannerRelease` (bcdDevice; -1 when not
// read) is updated: kOutcomeBurnDone when it is, else the outcome of leaving
// it as it is. An executable that does not know its image's release updates
// every scanner.
UpdateOutcome ReleaseVerdict(int scannerRelease, const UpdatePolicy &policy);

// Reports every outcome as messages and returns it; the device handle stays
// open. Without a release (-1) the scanner is updated whatever it runs.
UpdateOutcome RunUpdate(DeviceHandle device, LanguageIndex language);
UpdateOutcome RunUpdate(DeviceHandle device, LanguageIndex language,
                        int scannerRelease, const UpdatePolicy &policy);

// The still-image service over a run that updates one scanner or several:
// asked about and taken out of the way by the first UpdateScanner, given
// back once by ReleaseService after the last verdict.
struct ServiceHold {
  bool asked = false;
  bool wasActive = false;
};

// One scanner's update, from MsgDeviceFound to its verdict; the handle
// stays open. A scanner the policy leaves as it is gets its message and no
// command, and the service is not touched for it.
UpdateOutcome UpdateScanner(DeviceHandle device, LanguageIndex language,
                            int scannerRelease, const UpdatePolicy &policy,
                            CWIAControl *service, ServiceHold *hold);
// Asks about the service and takes it out of the way, once per hold; --all
// side by side does it before the first command to any scanner.
void TakeService(CWIAControl *service, ServiceHold *hold);
void ReleaseService(CWIAControl *service, const ServiceHold &hold);

// Where a scanner's update is, for the status line of --all side by side.
enum ScannerStep {
  kStepWaiting = 0,  // not started, or waiting for its turn
  kStepReadiness,    // asking whether it is ready
  kStepSending,      // the download command and the image
  kStepPause,        // the pause before the first burn-status query
  kStepBurning,      // answering "burning" (progress: its count)
  kStepDone,         // its verdict is in
};
// Said by the update on its thread; nothing unless --all runs the thread.
void ReportStep(ScannerStep step, uint32_t progress = 0);

// --all: the scanners attached when it starts, found in one walk over the
// names and kept open, then updated in index order, each named on a line of
// its own before its update and closed after its verdict. 0 when every one
// was burnt or current, 1 when none was found, else the first non-zero
// outcome. After an interrupt, refused or not, no further scanner is
// started; when one that would have been updated is left, the run ends with
// MsgUpdateCancelled and counts as cancelled.
// Side by side unless `oneAtATime`: each scanner on a thread of its own from
// "Device found!!" to its verdict, the service taken once before the first
// command to any scanner; each scanner's name and block are written whole,
// in name order, as soon as they and every one before are complete, so the
// output is byte for byte the one-at-a-time run's.
UpdateOutcome UpdateEveryScanner(LanguageIndex language,
                                 const UpdatePolicy &policy, bool oneAtATime);
