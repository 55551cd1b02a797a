#include "device/protocol.h"

namespace {

// Fields are stored byte by byte, lowest first, so the wire layout does not
// depend on the host's byte order.
void PutU16(uint8_t *at, uint16_t value) {
  at[0] = static_cast<uint8_t>(value & 0xFF);
  at[1] = static_cast<uint8_t>(value >> 8);
}

void PutU32(uint8_t *at, uint32_t value) {
  PutU16(at, static_cast<uint16_t>(value & 0xFFFF));
  PutU16(at + 2, static_cast<uint16_t>(value >> 16));
}

// Every command starts from zero bytes; bytes 5, 7, 10 and 11 are never set.
CommandBlock BuildCommand(uint8_t opcode, uint8_t parameter, uint16_t modifier,
                          uint32_t dataLength) {
  CommandBlock block = {};
  PutU32(block.bytes + 0, kCommandTag);
  block.bytes[4] = opcode;
  block.bytes[6] = parameter;
  PutU16(block.bytes + 8, modifier);
  PutU32(block.bytes + 12, dataLength);
  return block;
}

}  // namespace

static_assert(sizeof(CommandBlock) == kCommandBlockSize,
              "a command block is exactly its wire bytes");
static_assert(sizeof(ResponseBlock) == kResponseBlockSize,
              "a response block is exactly its wire bytes");

CommandBlock ReadinessQuery() {
  return BuildCommand(kOpcodeQuery, kParameterReadiness, 0, 0);
}

CommandBlock FirmwareDownload(uint32_t length) {
  return BuildCommand(kOpcodeDownload, kParameterFirmware, kDownloadModifier,
                      length);
}

CommandBlock BurnStatusQuery() {
  return BuildCommand(kOpcodeQuery, kParameterFirmware, 0, 0);
}

uint16_t DeviceStatus(const ResponseBlock &response) {
  return static_cast<uint16_t>(response.bytes[4] |
                               (static_cast<uint16_t>(response.bytes[5]) << 8));
}

const char *CommandName(const CommandBlock &command) {
  if (command.bytes[4] == kOpcodeDownload) return "firmware download";
  if (command.bytes[4] != kOpcodeQuery) return "unknown command";
  switch (command.bytes[6]) {
    case kParameterReadiness:
      return "readiness query";
    case kParameterFirmware:
      return "burn-status query";
    default:
      return "unknown command";
  }
}

const char *StatusMeaning(char phase, uint16_t status) {
  switch (phase) {
    case 'R':
      return IsReady(status) ? "ready" : "busy";
    case 'B':
      return status == kStatusBurning ? "burning"
             : IsReady(status)        ? "done"
                                      : "error";
    default:
      return "the download's answer, not looked at";
  }
}
