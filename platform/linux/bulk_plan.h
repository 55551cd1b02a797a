// How the Linux backend cuts one bulk write into chunks that it keeps in
// flight at once. The kernel's usbfs lets all programs together hold only so
// much memory in submitted URBs (16 MiB unless the administrator changes
// it), and refuses a URB past that; a long write therefore goes out as a
// bounded stream that shrinks when it is refused. Pure rules, no libusb.
#pragma once

#include <cstdint>

namespace linux_usb {

// What one write keeps submitted at most.
const uint32_t kMaxOutstandingBytes = 4u << 20;
// The chunk a write starts with where the kernel takes a chunk as one URB.
const uint32_t kFirstChunkBytes = 1u << 20;
// The smallest chunk, and the URB libusb cuts a transfer into when the host
// controller cannot take a long one (no scatter-gather).
const uint32_t kSmallestChunkBytes = 16u << 10;
// Transfer records one write allocates, so the most chunks in flight.
const uint32_t kMaxChunksInFlight = 64;

struct BulkPlan {
  uint32_t chunkBytes;  // a whole number of packets
  uint32_t inFlight;    // chunks submitted at once, at most
};

// The longest URB the kernel is handed for one libusb transfer, given the
// usbfs capability bits (USBDEVFS_CAP_*): 0 when a transfer of any length
// goes as one URB, else the length libusb cuts it into.
uint32_t UrbBytesFromCapabilities(uint32_t capabilities);

// The plan a write starts with. Chunks are whole packets of the endpoint's
// `maxPacket` bytes (0 taken as 512), so that no packet short of the last
// ends the stream early; where libusb would cut a chunk into several URBs a
// chunk is one such URB, so that a refused submission never leaves part of
// a chunk sent.
BulkPlan FirstBulkPlan(uint32_t maxPacket, uint32_t urbBytes);

// After a submission was refused for memory: fewer chunks in flight, then
// smaller chunks, down to one chunk of kSmallestChunkBytes. False when the
// plan is already there, and the write has failed.
bool ShrinkBulkPlan(BulkPlan *plan, uint32_t maxPacket);

// The length of the next chunk when `remaining` bytes are still to go.
uint32_t NextChunkBytes(const BulkPlan &plan, uint64_t remaining);

}  // namespace linux_usb
