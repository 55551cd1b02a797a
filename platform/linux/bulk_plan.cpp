#include "platform/linux/bulk_plan.h"

#include <linux/usbdevice_fs.h>

namespace linux_usb {

namespace {

uint32_t Packet(uint32_t maxPacket) { return maxPacket ? maxPacket : 512u; }

// The largest whole number of packets in `bytes`, at least one packet.
uint32_t WholePackets(uint32_t bytes, uint32_t maxPacket) {
  const uint32_t packet = Packet(maxPacket);
  return bytes >= packet ? bytes - bytes % packet : packet;
}

}  // namespace

uint32_t UrbBytesFromCapabilities(uint32_t capabilities) {
  // The order in which libusb's Linux backend decides.
  if (capabilities & USBDEVFS_CAP_BULK_SCATTER_GATHER) return 0;
  if (capabilities & USBDEVFS_CAP_BULK_CONTINUATION) return kSmallestChunkBytes;
  if (capabilities & USBDEVFS_CAP_NO_PACKET_SIZE_LIM) return 0;
  return kSmallestChunkBytes;
}

BulkPlan FirstBulkPlan(uint32_t maxPacket, uint32_t urbBytes) {
  BulkPlan plan;
  plan.chunkBytes = WholePackets(urbBytes != 0 && urbBytes < kFirstChunkBytes
                                     ? urbBytes
                                     : kFirstChunkBytes,
                                 maxPacket);
  const uint32_t fit = kMaxOutstandingBytes / plan.chunkBytes;
  plan.inFlight = fit < 1                    ? 1
                  : fit > kMaxChunksInFlight ? kMaxChunksInFlight
                                             : fit;
  return plan;
}

bool ShrinkBulkPlan(BulkPlan *plan, uint32_t maxPacket) {
  if (plan->inFlight > 1) {
    plan->inFlight /= 2;
    return true;
  }
  const uint32_t smallest = WholePackets(kSmallestChunkBytes, maxPacket);
  if (plan->chunkBytes <= smallest) return false;
  const uint32_t half = WholePackets(plan->chunkBytes / 2, maxPacket);
  plan->chunkBytes = half > smallest ? half : smallest;
  return true;
}

uint32_t NextChunkBytes(const BulkPlan &plan, uint64_t remaining) {
  return remaining < plan.chunkBytes ? static_cast<uint32_t>(remaining)
                                     : plan.chunkBytes;
}

}  // namespace linux_usb
