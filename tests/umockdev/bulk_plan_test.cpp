// The rules by which a bulk write is cut into chunks and shrinks when usbfs
// refuses memory, as tables of cases.
#include "platform/linux/bulk_plan.h"

#include <gtest/gtest.h>
#include <linux/usbdevice_fs.h>

#include <utility>
#include <vector>

namespace {

using linux_usb::BulkPlan;
using linux_usb::FirstBulkPlan;
using linux_usb::NextChunkBytes;
using linux_usb::ShrinkBulkPlan;
using linux_usb::UrbBytesFromCapabilities;

const uint32_t kKiB = 1024;
const uint32_t kMiB = 1024 * 1024;

TEST(BulkPlan, UrbLengthFollowsTheCapabilities) {
  const uint32_t sg = USBDEVFS_CAP_BULK_SCATTER_GATHER;
  const uint32_t cont = USBDEVFS_CAP_BULK_CONTINUATION;
  const uint32_t nolim = USBDEVFS_CAP_NO_PACKET_SIZE_LIM;
  const uint32_t zlp = USBDEVFS_CAP_ZERO_PACKET;
  const struct {
    uint32_t capabilities;
    uint32_t urbBytes;
  } cases[] = {
      {sg | cont | nolim | zlp, 0},  // a host with scatter-gather
      {sg, 0},
      {cont | nolim | zlp, 16 * kKiB},  // without: libusb cuts, continued
      {cont, 16 * kKiB},
      {nolim, 0},  // one URB, the kernel allocates it whole
      {zlp, 16 * kKiB},
      {0, 16 * kKiB},  // a kernel too old to answer
  };
  for (const auto &c : cases) {
    EXPECT_EQ(UrbBytesFromCapabilities(c.capabilities), c.urbBytes)
        << "capabilities 0x" << std::hex << c.capabilities;
  }
}

TEST(BulkPlan, FirstPlanKeepsWithinFourMiBInWholePackets) {
  const struct {
    uint32_t maxPacket, urbBytes;
    uint32_t chunkBytes, inFlight;
  } cases[] = {
      {512, 0, kMiB, 4},                // high speed, one URB a chunk
      {1024, 0, kMiB, 4},               // super speed
      {64, 0, kMiB, 4},                 // full speed
      {0, 0, kMiB, 4},                  // no packet size known: taken as 512
      {512, 16 * kKiB, 16 * kKiB, 64},  // libusb cuts: a chunk is one URB
      {1000, 0, 1048000, 4},            // odd packet: whole packets only
      {1000, 16 * kKiB, 16000, 64},
      {8 * kMiB, 0, 8 * kMiB, 1},  // nonsense packet: still one in flight
  };
  for (const auto &c : cases) {
    const BulkPlan plan = FirstBulkPlan(c.maxPacket, c.urbBytes);
    EXPECT_EQ(plan.chunkBytes, c.chunkBytes)
        << c.maxPacket << " " << c.urbBytes;
    EXPECT_EQ(plan.inFlight, c.inFlight) << c.maxPacket << " " << c.urbBytes;
    if (c.maxPacket != 0) {
      EXPECT_EQ(plan.chunkBytes % c.maxPacket, 0u);
    }
    if (c.maxPacket <= 4 * kMiB) {
      EXPECT_LE(uint64_t{plan.chunkBytes} * plan.inFlight,
                uint64_t{linux_usb::kMaxOutstandingBytes});
    }
    EXPECT_LE(plan.inFlight, linux_usb::kMaxChunksInFlight);
  }
}

// Chunk bytes and chunks in flight.
using Step = std::pair<uint32_t, uint32_t>;

// Every step a write goes through when each submission is refused, from
// its first plan to the point where it gives up.
std::vector<Step> StepsToTheEnd(uint32_t maxPacket, uint32_t urbBytes) {
  BulkPlan plan = FirstBulkPlan(maxPacket, urbBytes);
  std::vector<Step> steps{{plan.chunkBytes, plan.inFlight}};
  while (ShrinkBulkPlan(&plan, maxPacket) && steps.size() < 100) {
    steps.emplace_back(plan.chunkBytes, plan.inFlight);
  }
  return steps;
}

TEST(BulkPlan, ShrinksFirstInFlightThenChunksDownToOneOf16KiB) {
  const std::vector<Step> oneUrb = {
      {kMiB, 4},       {kMiB, 2},       {kMiB, 1},
      {512 * kKiB, 1}, {256 * kKiB, 1}, {128 * kKiB, 1},
      {64 * kKiB, 1},  {32 * kKiB, 1},  {16 * kKiB, 1},
  };
  EXPECT_EQ(StepsToTheEnd(512, 0), oneUrb);
  EXPECT_EQ(StepsToTheEnd(64, 0), oneUrb);
  const std::vector<Step> cut = {
      {16 * kKiB, 64}, {16 * kKiB, 32}, {16 * kKiB, 16}, {16 * kKiB, 8},
      {16 * kKiB, 4},  {16 * kKiB, 2},  {16 * kKiB, 1},
  };
  EXPECT_EQ(StepsToTheEnd(512, 16 * kKiB), cut);
  // Packets of 1000 bytes: every chunk stays whole packets, the last step
  // is the largest whole number of packets in 16 KiB.
  const std::vector<Step> odd = StepsToTheEnd(1000, 0);
  for (const Step &step : odd) EXPECT_EQ(step.first % 1000, 0u);
  EXPECT_EQ(odd.back(), Step(16000, 1));
}

TEST(BulkPlan, ChunksAreFullUntilTheTrueEnd) {
  const BulkPlan plan{kMiB, 4};
  const struct {
    uint64_t remaining;
    uint32_t next;
  } cases[] = {
      {26214400, kMiB},     {kMiB + 1, kMiB}, {kMiB, kMiB},
      {kMiB - 1, kMiB - 1}, {16, 16},         {0, 0},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(NextChunkBytes(plan, c.remaining), c.next) << c.remaining;
  }
}

}  // namespace
