// The firmware update, from the found scanner to the verdict.
#pragma once

#include <cstdint>

#include "device/transport.h"
#include "messages/messages.h"

const uint32_t kReadinessTimeoutMs = 600000;
const uint32_t kReadinessPauseMs = 1000;
const uint32_t kBurnStartPauseMs = 6000;

// Reports every outcome as messages; the device handle stays open.
void RunUpdate(DeviceHandle device, LanguageIndex language);
