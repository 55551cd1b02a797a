#include "device/protocol.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tests/unit/capture.h"

namespace {

std::string Wire(const CommandBlock &block) {
  return std::string(reinterpret_cast<const char *>(block.bytes),
                     sizeof(block.bytes));
}

ResponseBlock ResponseWith(uint8_t byte4, uint8_t byte5, uint8_t filler) {
  ResponseBlock response;
  std::memset(response.bytes, filler, sizeof(response.bytes));
  response.bytes[4] = byte4;
  response.bytes[5] = byte5;
  return response;
}

TEST(Protocol, BlocksAreExactlyTheirWireSize) {
  EXPECT_EQ(sizeof(CommandBlock), 16u);
  EXPECT_EQ(sizeof(ResponseBlock), 32u);
}

// The download's length, the shipped image's among them, little-endian.
TEST(Protocol, CommandBytes) {
  const std::string kDownload = "20 02 00 00 2A 00 08 00 04 00 00 00 ";
  const struct {
    CommandBlock block;
    std::string hex;
  } kCases[] = {
      {ReadinessQuery(), "20 02 00 00 12 00 02 00 00 00 00 00 00 00 00 00"},
      {BurnStatusQuery(), "20 02 00 00 12 00 08 00 00 00 00 00 00 00 00 00"},
      {FirmwareDownload(26214400u), kDownload + "00 00 90 01"},
      {FirmwareDownload(1), kDownload + "01 00 00 00"},
      {FirmwareDownload(0x04030201u), kDownload + "01 02 03 04"},
      {FirmwareDownload(0xFFFFFFFFu), kDownload + "FF FF FF FF"},
      {FirmwareDownload(0), kDownload + "00 00 00 00"},
  };
  for (const auto &c : kCases)
    EXPECT_EQ(Wire(c.block), Hex(c.hex.c_str())) << c.hex;
}

TEST(Protocol, EachCommandIsBuiltAfresh) {
  // A large download first must leave nothing behind in the next query.
  (void)FirmwareDownload(0xFFFFFFFFu);
  EXPECT_EQ(Wire(ReadinessQuery()),
            Hex("20 02 00 00 12 00 02 00 00 00 00 00 00 00 00 00"));
  EXPECT_EQ(Wire(ReadinessQuery()), Wire(ReadinessQuery()));
}

TEST(Protocol, StatusIsBytesFourAndFiveLowFirst) {
  EXPECT_EQ(DeviceStatus(ResponseWith(0x06, 0x00, 0x00)), 6);
  EXPECT_EQ(DeviceStatus(ResponseWith(0x00, 0x06, 0x00)), 0x0600);
  EXPECT_EQ(DeviceStatus(ResponseWith(0x06, 0x01, 0x00)), 0x0106);
  EXPECT_EQ(DeviceStatus(ResponseWith(0x07, 0x00, 0x00)), kStatusBurning);
  EXPECT_EQ(DeviceStatus(ResponseWith(0xFF, 0xFF, 0x00)), 0xFFFF);
  EXPECT_NE(DeviceStatus(ResponseWith(0x00, 0x06, 0x00)), kStatusDone);
  EXPECT_NE(DeviceStatus(ResponseWith(0x06, 0x01, 0x00)), kStatusDone);
}

TEST(Protocol, OnlyBytesFourAndFiveCount) {
  EXPECT_EQ(DeviceStatus(ResponseWith(0x00, 0x00, 0xFF)), kStatusIdle);
  EXPECT_EQ(DeviceStatus(ResponseWith(0x06, 0x00, 0xA5)), kStatusDone);
  for (int i = 0; i < 32; ++i) {
    if (i == 4 || i == 5) continue;
    ResponseBlock response = ResponseWith(0x07, 0x00, 0x00);
    response.bytes[i] = 0x5A;
    EXPECT_EQ(DeviceStatus(response), 7) << "byte " << i;
  }
}

TEST(Protocol, Constants) {
  EXPECT_EQ(kCommandTag, 0x220u);
  EXPECT_EQ(kOpcodeQuery, 0x12);
  EXPECT_EQ(kOpcodeDownload, 0x2A);
  EXPECT_EQ(kParameterReadiness, 0x02);
  EXPECT_EQ(kParameterFirmware, 0x08);
  EXPECT_EQ(kDownloadModifier, 4);
  EXPECT_EQ(kStatusIdle, 0);
  EXPECT_EQ(kStatusDone, 6);
  EXPECT_EQ(kStatusBurning, 7);
}

TEST(Protocol, BuildingAndReadingAllocateNothing) {
  ResponseBlock response = ResponseWith(0x06, 0x00, 0x33);
  alloc_counter::Start();
  CommandBlock a = ReadinessQuery();
  CommandBlock b = FirmwareDownload(12345);
  CommandBlock c = BurnStatusQuery();
  uint16_t status = DeviceStatus(response);
  EXPECT_EQ(alloc_counter::Stop(), 0);
  EXPECT_EQ(a.bytes[6] + b.bytes[6] + c.bytes[6] + status, 2 + 8 + 8 + 6);
}

}  // namespace
