// The scanner's command protocol: 16-byte command blocks, 32-byte response
// blocks, little-endian on every host.
#pragma once

#include <cstdint>

const uint32_t kCommandTag = 0x220;
const uint8_t kOpcodeQuery = 0x12;
const uint8_t kOpcodeDownload = 0x2A;
const uint8_t kParameterReadiness = 0x02;
const uint8_t kParameterFirmware = 0x08;
const uint16_t kDownloadModifier = 4;

const uint16_t kStatusIdle = 0;
const uint16_t kStatusDone = 6;
const uint16_t kStatusBurning = 7;

const uint32_t kCommandBlockSize = 16;
const uint32_t kResponseBlockSize = 32;

// Bytes exactly as they go on the wire.
struct CommandBlock {
  uint8_t bytes[kCommandBlockSize];
};
struct ResponseBlock {
  uint8_t bytes[kResponseBlockSize];
};

CommandBlock ReadinessQuery();
CommandBlock FirmwareDownload(uint32_t length);
CommandBlock BurnStatusQuery();

// Bytes 4 and 5 of the response, byte 4 the low one.
uint16_t DeviceStatus(const ResponseBlock &response);

// Idle or done: the scanner takes a command.
inline bool IsReady(uint16_t status) {
  return status == kStatusIdle || status == kStatusDone;
}

// Names for the log: the command's ("readiness query"), and what a status
// means in a phase: 'R' readiness (ready or busy), 'D' download (not looked
// at), 'B' burn (burning, done or error).
const char *CommandName(const CommandBlock &command);
const char *StatusMeaning(char phase, uint16_t status);
