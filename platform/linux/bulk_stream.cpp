#include "platform/linux/bulk_stream.h"

#include <sys/time.h>

#include "platform/linux/bulk_plan.h"
#include "platform/linux/kernel.h"
#include "platform/linux/usb_names.h"

namespace linux_usb {
namespace {

// A chunk's transfer record is made once per write and used again.
enum class ChunkState : uint8_t {
  kFree,
  kInFlight,  // submitted, its callback not yet run
  kBack,      // its callback has run, its result not yet taken
};

struct Chunk {
  libusb_transfer *transfer;
  ChunkState state;
};

enum class StreamState : uint8_t {
  kSending,  // chunks go out as they fit in the plan
  kRefused,  // the kernel refused memory with chunks in flight: they come
             // back before the plan shrinks
  kEnded,    // nothing more goes out; what is in flight is cancelled
};

// The whole state of one write.
struct BulkStream {
  const BulkTarget *target;
  unsigned char *data;
  uint64_t count;
  BulkPlan plan;
  uint64_t deadline;
  Chunk chunks[kMaxChunksInFlight];
  uint32_t records;   // transfer records made for this write
  uint32_t inFlight;  // chunks in flight or back
  uint64_t submitted;
  uint32_t requests;  // a write of 0 bytes is one request too
  uint64_t moved;
  StreamState state;
  int result;  // LIBUSB_SUCCESS with kEnded: a short chunk, no failure
};

void LIBUSB_CALL OnChunkFinished(libusb_transfer *transfer) {
  static_cast<Chunk *>(transfer->user_data)->state = ChunkState::kBack;
}

void Failed(const char *call, int code) {
  linux_log::Failed(call, code, libusb_error_name(code));
}

bool AllSubmitted(const BulkStream &s) {
  return s.submitted >= s.count && s.requests > 0;
}

// Ends the write: nothing more is submitted and what is in flight is
// cancelled; the loop then reaps it before the records are freed.
void EndStream(BulkStream *s, int result) {
  if (s->state != StreamState::kEnded) {
    s->state = StreamState::kEnded;
    s->result = result;
  }
  for (uint32_t i = 0; i < s->records; ++i) {
    if (s->chunks[i].state == ChunkState::kInFlight)
      libusb_cancel_transfer(s->chunks[i].transfer);
  }
}

Chunk *FreeChunk(BulkStream *s) {
  for (uint32_t i = 0; i < s->records; ++i) {
    if (s->chunks[i].state == ChunkState::kFree) return &s->chunks[i];
  }
  return nullptr;  // inFlight < plan.inFlight <= records: never
}

// Goes on with less after the kernel refused memory; fails the write when
// the plan is already the smallest.
void Shrink(BulkStream *s) {
  if (ShrinkBulkPlan(&s->plan, s->target->maxPacket)) {
    linux_log::Line(
        "the kernel refused a chunk (ENOMEM): going on with chunks of %lu "
        "bytes, at most %lu in flight",
        static_cast<unsigned long>(s->plan.chunkBytes),
        static_cast<unsigned long>(s->plan.inFlight));
  } else {
    linux_log::Line(
        "the kernel refused even the smallest chunk: the write fails");
    EndStream(s, LIBUSB_ERROR_NO_MEM);
  }
}

void SubmitWhatFits(BulkStream *s) {
  while (s->state == StreamState::kSending && s->inFlight < s->plan.inFlight &&
         !AllSubmitted(*s)) {
    Chunk *chunk = FreeChunk(s);
    const uint32_t length = NextChunkBytes(s->plan, s->count - s->submitted);
    libusb_fill_bulk_transfer(chunk->transfer, s->target->handle,
                              s->target->endpoint, s->data + s->submitted,
                              static_cast<int>(length), OnChunkFinished, chunk,
                              0);
    const int result = libusb_submit_transfer(chunk->transfer);
    if (result == LIBUSB_SUCCESS) {
      chunk->state = ChunkState::kInFlight;
      ++s->inFlight;
      s->submitted += length;
      ++s->requests;
      continue;
    }
    Failed("libusb_submit_transfer", result);
    if (result != LIBUSB_ERROR_NO_MEM) {
      EndStream(s, result);
    } else if (s->inFlight > 0) {
      // Nothing of this chunk went out: wait for those in flight before
      // going on with less.
      s->state = StreamState::kRefused;
    } else {
      Shrink(s);
    }
  }
}

void WaitForChunks(BulkStream *s) {
  const uint64_t now = MonotonicMs();
  const bool ended = s->state == StreamState::kEnded;
  if (!ended && now >= s->deadline) {
    linux_log::Line(
        "the bulk write's time bound has passed: the write is ended");
    EndStream(s, LIBUSB_ERROR_TIMEOUT);
    return;
  }
  // Short waits: the bound of the whole write is checked between them.
  uint64_t wait = ended ? 100 : s->deadline - now;
  if (wait > 100) wait = 100;
  timeval tv{0, static_cast<suseconds_t>(wait * 1000)};
  libusb_handle_events_timeout_completed(s->target->context, &tv, nullptr);
}

// What ends the write when a chunk comes back with `status`.
int ResultOf(const libusb_transfer &t) {
  switch (t.status) {
    case LIBUSB_TRANSFER_COMPLETED:
      return LIBUSB_SUCCESS;
    case LIBUSB_TRANSFER_STALL:
      return LIBUSB_ERROR_PIPE;
    case LIBUSB_TRANSFER_NO_DEVICE:
      return LIBUSB_ERROR_NO_DEVICE;
    case LIBUSB_TRANSFER_TIMED_OUT:
      return LIBUSB_ERROR_TIMEOUT;
    default:
      return LIBUSB_ERROR_IO;
  }
}

void CollectChunks(BulkStream *s) {
  for (uint32_t i = 0; i < s->records; ++i) {
    Chunk &chunk = s->chunks[i];
    if (chunk.state != ChunkState::kBack) continue;
    chunk.state = ChunkState::kFree;
    --s->inFlight;
    const libusb_transfer &t = *chunk.transfer;
    if (t.actual_length > 0) s->moved += static_cast<uint64_t>(t.actual_length);
    if (t.status == LIBUSB_TRANSFER_CANCELLED) continue;  // ours, once ended
    if (t.status != LIBUSB_TRANSFER_COMPLETED) {
      Failed("bulk chunk", t.status);
      EndStream(s, ResultOf(t));
    } else if (t.actual_length < t.length) {
      linux_log::Line("a chunk came back short: the device ended the write");
      EndStream(s, LIBUSB_SUCCESS);
    }
  }
}

}  // namespace

int WriteBulkStream(const BulkTarget &target, unsigned char *data,
                    uint32_t count, uint32_t *moved) {
  BulkStream s{};
  s.target = &target;
  s.data = data;
  s.count = count;
  s.plan = FirstBulkPlan(target.maxPacket, target.urbBytes);
  s.deadline = MonotonicMs() + TransferTimeoutMs(count);
  s.records = s.plan.inFlight;
  // Only a write longer than one chunk is cut: the image, not a command.
  if (count > s.plan.chunkBytes)
    linux_log::Line(
        "bulk write as chunks of %lu bytes, at most %lu in flight (%s)",
        static_cast<unsigned long>(s.plan.chunkBytes),
        static_cast<unsigned long>(s.plan.inFlight),
        target.urbBytes == 0 ? "each chunk one URB"
                             : "libusb cuts into 16 KiB URBs");
  for (uint32_t i = 0; i < s.records; ++i) {
    s.chunks[i].transfer = libusb_alloc_transfer(0);
    if (s.chunks[i].transfer == nullptr) EndStream(&s, LIBUSB_ERROR_NO_MEM);
  }
  while (true) {
    SubmitWhatFits(&s);
    if (s.inFlight == 0) {
      if (s.state == StreamState::kEnded || AllSubmitted(s)) break;
      if (s.state == StreamState::kRefused) {
        // What was in flight when the kernel said no has come back.
        s.state = StreamState::kSending;
        Shrink(&s);
      }
      continue;
    }
    WaitForChunks(&s);
    CollectChunks(&s);
  }
  for (uint32_t i = 0; i < s.records; ++i) {
    if (s.chunks[i].transfer != nullptr)
      libusb_free_transfer(s.chunks[i].transfer);
  }
  *moved = static_cast<uint32_t>(s.moved);
  return s.result;
}

}  // namespace linux_usb
