// The firmware update, from the found scanner to the verdict.
#pragma once

#include <cstdint>

#include "device/transport.h"
#include "messages/messages.h"

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
};

// Their names, for the log, in the order of their values.
const char *const kOutcomeNames[] = {
    "update done",          "no scanner found", "firmware image unavailable",
    "scanner not ready",    "image not sent",   "burn failed",
    "cancelled by the user"};
static_assert(sizeof kOutcomeNames / sizeof kOutcomeNames[0] ==
                  kOutcomeCancelled + 1,
              "every outcome has its name");

inline const char *OutcomeName(int outcome) {
  return outcome >= 0 && outcome <= kOutcomeCancelled ? kOutcomeNames[outcome]
                                                      : "unknown outcome";
}

// Reports every outcome as messages and returns it; the device handle stays
// open.
UpdateOutcome RunUpdate(DeviceHandle device, LanguageIndex language);
