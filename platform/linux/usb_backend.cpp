#include "platform/linux/usb_backend.h"

#include <fcntl.h>
#include <libusb.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <ctime>

#include "platform/linux/bulk_plan.h"
#include "platform/linux/log.h"
#include "platform/linux/usb_names.h"

namespace linux_usb {

struct Device {
  bool inUse;
  libusb_device *usb;
  // Null until the first transfer: until then the device is only looked at.
  libusb_device_handle *handle;
  uint8_t outEndpoint;  // 0: the device has none
  uint8_t inEndpoint;   // 0: the device has none
  int claimed[2];       // interface numbers, -1 when unused
  uint32_t outPacket;   // the OUT endpoint's wMaxPacketSize
  uint32_t urbBytes;    // see UrbBytesFromCapabilities
};

namespace {

// Windows error codes for the failures below that windows_api.h has no name
// for; the values are the platform's.
const DWORD kErrorNotSupported = 50;
const DWORD kErrorSemTimeout = 121;
const DWORD kErrorBusy = 170;
const DWORD kErrorTooManyOpenFiles = 4;
const DWORD kErrorIoDevice = 1117;
const DWORD kErrorDeviceNotConnected = 1167;

// Discovery holds one candidate at a time besides the scanner it keeps.
const int kDevices = 16;
// More devices than a machine has; the rest are not numbered.
const size_t kMaxListed = 512;

Device g_devices[kDevices];

// A libusb call that failed, or a transfer that ended badly, with libusb's
// own name for the code (LIBUSB_ERROR_PIPE, LIBUSB_TRANSFER_STALL, ...).
void LibusbFailed(const char *call, int code) {
  if (linux_log::On()) linux_log::Failed(call, code, libusb_error_name(code));
}

// A system call that failed, with its errno's name.
void KernelFailed(const char *call, int error) {
  linux_log::Failed(call, error, ErrnoName(error));
}

enum class ContextState { kUntried, kReady, kFailed };
ContextState g_contextState = ContextState::kUntried;
libusb_context *g_context = nullptr;

// One libusb context for the process, made on first use and kept to the
// end, like the handles it serves. A machine without usable USB support
// fails once and then has no devices.
libusb_context *Context() {
  if (g_contextState == ContextState::kUntried) {
    const int result = libusb_init(&g_context);
    g_contextState =
        result == LIBUSB_SUCCESS ? ContextState::kReady : ContextState::kFailed;
    if (result != LIBUSB_SUCCESS) LibusbFailed("libusb_init", result);
  }
  return g_contextState == ContextState::kReady ? g_context : nullptr;
}

DWORD ErrorFromLibusb(int error) {
  switch (error) {
    case LIBUSB_ERROR_TIMEOUT:
      return kErrorSemTimeout;
    case LIBUSB_ERROR_PIPE:  // the device stalled the endpoint
      return ERROR_GEN_FAILURE;
    case LIBUSB_ERROR_NO_DEVICE:
      return kErrorDeviceNotConnected;
    case LIBUSB_ERROR_ACCESS:
      return ERROR_ACCESS_DENIED;
    case LIBUSB_ERROR_BUSY:
      return kErrorBusy;
    case LIBUSB_ERROR_NO_MEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case LIBUSB_ERROR_INVALID_PARAM:
      return ERROR_INVALID_PARAMETER;
    case LIBUSB_ERROR_NOT_FOUND:
    case LIBUSB_ERROR_NOT_SUPPORTED:
      return kErrorNotSupported;
    default:
      return kErrorIoDevice;
  }
}

void DescribeDevice(libusb_device *usb, char *text, size_t size) {
  libusb_device_descriptor descriptor{};
  libusb_get_device_descriptor(usb, &descriptor);
  std::snprintf(text, size, "%04x:%04x on bus %03u, address %03u",
                descriptor.idVendor, descriptor.idProduct,
                libusb_get_bus_number(usb), libusb_get_device_address(usb));
}

// Standard output belongs to the program and is compared byte for byte;
// these two hints about the machine go to standard error, and only for
// the device that a transfer was meant for.
void ReportOpenFailure(libusb_device *usb, int error) {
  char device[64];
  DescribeDevice(usb, device, sizeof device);
  if (error == LIBUSB_ERROR_ACCESS) {
    std::fprintf(stderr,
                 "scanfw: no permission to use the USB device %s.\n"
                 "scanfw: install the udev rule 70-scanfw.rules (see "
                 "README), then unplug and replug the scanner.\n",
                 device);
  } else if (error == LIBUSB_ERROR_BUSY) {
    std::fprintf(stderr,
                 "scanfw: the USB device %s is in use by another program.\n",
                 device);
  }
}

struct BulkPipes {
  uint8_t outEndpoint = 0;
  uint8_t inEndpoint = 0;
  int outInterface = -1;
  int inInterface = -1;
};

// The first bulk OUT and the first bulk IN endpoint of the active
// configuration, in the order the device lists its interfaces (first
// alternate setting of each).
bool FindBulkPipes(libusb_device *usb, BulkPipes *pipes) {
  libusb_config_descriptor *config = nullptr;
  if (libusb_get_active_config_descriptor(usb, &config) != LIBUSB_SUCCESS) {
    return false;
  }
  for (int i = 0; i < config->bNumInterfaces; ++i) {
    const libusb_interface &interface = config->interface[i];
    if (interface.num_altsetting < 1) continue;
    const libusb_interface_descriptor &setting = interface.altsetting[0];
    for (int e = 0; e < setting.bNumEndpoints; ++e) {
      const libusb_endpoint_descriptor &endpoint = setting.endpoint[e];
      if ((endpoint.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK) !=
          LIBUSB_TRANSFER_TYPE_BULK) {
        continue;
      }
      const bool in = (endpoint.bEndpointAddress & LIBUSB_ENDPOINT_IN) != 0;
      if (in && pipes->inEndpoint == 0) {
        pipes->inEndpoint = endpoint.bEndpointAddress;
        pipes->inInterface = setting.bInterfaceNumber;
      } else if (!in && pipes->outEndpoint == 0) {
        pipes->outEndpoint = endpoint.bEndpointAddress;
        pipes->outInterface = setting.bInterfaceNumber;
      }
    }
  }
  libusb_free_config_descriptor(config);
  return pipes->inEndpoint != 0 || pipes->outEndpoint != 0;
}

// What usbfs says it can do for this device decides whether libusb hands a
// long transfer to the kernel as one URB or cuts it into 16 KiB URBs. libusb
// asks on its own descriptor and does not tell; the same question on a
// descriptor of our own gets the same answer. Without an answer the
// cautious assumption: libusb cuts.
uint32_t UrbBytesOf(libusb_device *usb) {
  char path[40];
  std::snprintf(path, sizeof path, "/dev/bus/usb/%03u/%03u",
                libusb_get_bus_number(usb), libusb_get_device_address(usb));
  const int fd = open(path, O_RDWR | O_CLOEXEC);
  uint32_t capabilities = 0;
  if (fd >= 0) {
    if (ioctl(fd, USBDEVFS_GET_CAPABILITIES, &capabilities) != 0) {
      KernelFailed("ioctl USBDEVFS_GET_CAPABILITIES", errno);
      capabilities = 0;
    }
    close(fd);
  } else {
    KernelFailed("open of the usbfs node", errno);
  }
  return UrbBytesFromCapabilities(capabilities);
}

void ReleaseInterfaces(Device *device) {
  for (int &number : device->claimed) {
    // With automatic detaching on, releasing gives the interface back to
    // the kernel driver that was detached for it.
    if (number >= 0) libusb_release_interface(device->handle, number);
    number = -1;
  }
}

// The first transfer opens the device, detaches a kernel driver from its
// bulk interfaces and claims them; everything before only looked at it.
bool EnsureOpen(Device *device) {
  if (device->handle != nullptr) return true;
  libusb_device_handle *handle = nullptr;
  int result = libusb_open(device->usb, &handle);
  if (result != LIBUSB_SUCCESS) {
    LibusbFailed("libusb_open", result);
    ReportOpenFailure(device->usb, result);
    SetLastError(ErrorFromLibusb(result));
    return false;
  }
  BulkPipes pipes;
  if (!FindBulkPipes(device->usb, &pipes)) {
    linux_log::Line(
        "the device has no bulk endpoint in its active configuration");
    libusb_close(handle);
    SetLastError(kErrorNotSupported);
    return false;
  }
  libusb_set_auto_detach_kernel_driver(handle, 1);
  device->handle = handle;
  const int wanted[2] = {pipes.outInterface, pipes.inInterface};
  for (int i = 0; i < 2; ++i) {
    if (wanted[i] < 0 || (i == 1 && wanted[1] == wanted[0])) continue;
    result = libusb_claim_interface(handle, wanted[i]);
    if (result != LIBUSB_SUCCESS) {
      LibusbFailed("libusb_claim_interface", result);
      ReportOpenFailure(device->usb, result);
      ReleaseInterfaces(device);
      libusb_close(handle);
      device->handle = nullptr;
      SetLastError(ErrorFromLibusb(result));
      return false;
    }
    device->claimed[i] = wanted[i];
  }
  device->outEndpoint = pipes.outEndpoint;
  device->inEndpoint = pipes.inEndpoint;
  if (pipes.outEndpoint != 0) {
    const int packet =
        libusb_get_max_packet_size(device->usb, pipes.outEndpoint);
    device->outPacket = packet > 0 ? static_cast<uint32_t>(packet) : 0;
    device->urbBytes = UrbBytesOf(device->usb);
  }
  return true;
}

uint64_t NowMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000u +
         static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

// One chunk of a bulk write: its libusb transfer record, made once per
// write, and whether it is in flight.
struct Chunk {
  libusb_transfer *transfer;
  bool busy;      // submitted, its callback not yet handled
  bool finished;  // its callback has run
};

void LIBUSB_CALL OnChunkFinished(libusb_transfer *transfer) {
  static_cast<Chunk *>(transfer->user_data)->finished = true;
}

// The state of one bulk write: chunks straight from the caller's buffer, a
// few in flight, in the order of the data.
struct BulkStream {
  Device *device;
  unsigned char *data;
  uint64_t count;
  BulkPlan plan;
  uint64_t deadline;
  Chunk chunks[kMaxChunksInFlight];
  uint32_t records;  // transfer records made for this write
  uint32_t busy;
  uint64_t submitted;
  bool submittedEmpty;  // the one request of a write of 0 bytes
  uint64_t moved;
  bool refused;  // a chunk was refused while others were in flight
  bool ended;
  DWORD error;  // 0 with ended: a short chunk, no failure of the request
};

bool AllSubmitted(const BulkStream &s) {
  return s.submitted >= s.count && (s.count != 0 || s.submittedEmpty);
}

// Ends the write: nothing more is submitted and what is in flight is
// cancelled; the loop then reaps it before the records are freed.
void EndStream(BulkStream *s, DWORD error) {
  if (!s->ended) {
    s->ended = true;
    s->error = error;
  }
  for (uint32_t i = 0; i < s->records; ++i) {
    if (s->chunks[i].busy && !s->chunks[i].finished) {
      libusb_cancel_transfer(s->chunks[i].transfer);
    }
  }
}

Chunk *FreeChunk(BulkStream *s) {
  for (uint32_t i = 0; i < s->records; ++i) {
    if (!s->chunks[i].busy) return &s->chunks[i];
  }
  return nullptr;  // busy < plan.inFlight <= records: never
}

// Goes on with less after the kernel refused memory; fails the write when
// the plan is already the smallest.
void Shrink(BulkStream *s) {
  if (ShrinkBulkPlan(&s->plan, s->device->outPacket)) {
    linux_log::Line(
        "the kernel refused a chunk (ENOMEM): going on with chunks of %lu "
        "bytes, at most %lu in flight",
        static_cast<unsigned long>(s->plan.chunkBytes),
        static_cast<unsigned long>(s->plan.inFlight));
  } else {
    linux_log::Line(
        "the kernel refused even the smallest chunk: the write fails");
    EndStream(s, ERROR_NOT_ENOUGH_MEMORY);
  }
}

void SubmitWhatFits(BulkStream *s) {
  while (!s->refused && !s->ended && s->busy < s->plan.inFlight &&
         !AllSubmitted(*s)) {
    Chunk *chunk = FreeChunk(s);
    const uint32_t length = NextChunkBytes(s->plan, s->count - s->submitted);
    libusb_fill_bulk_transfer(chunk->transfer, s->device->handle,
                              s->device->outEndpoint, s->data + s->submitted,
                              static_cast<int>(length), OnChunkFinished, chunk,
                              0);
    const int result = libusb_submit_transfer(chunk->transfer);
    if (result == LIBUSB_SUCCESS) {
      chunk->busy = true;
      chunk->finished = false;
      ++s->busy;
      s->submitted += length;
      s->submittedEmpty = true;
    } else if (result == LIBUSB_ERROR_NO_MEM) {
      LibusbFailed("libusb_submit_transfer", result);
      // Nothing of this chunk went out. With chunks in flight, wait for
      // them before going on with less; with none, go on with less now.
      if (s->busy > 0) {
        s->refused = true;
      } else {
        Shrink(s);
      }
    } else {
      LibusbFailed("libusb_submit_transfer", result);
      EndStream(s, ErrorFromLibusb(result));
    }
  }
}

void WaitForChunks(BulkStream *s) {
  const uint64_t now = NowMs();
  if (!s->ended && now >= s->deadline) {
    linux_log::Line(
        "the bulk write's time bound has passed: the write is ended");
    EndStream(s, kErrorSemTimeout);
    return;
  }
  // Short waits: the bound of the whole write is checked between them.
  uint64_t wait = s->ended ? 100 : s->deadline - now;
  if (wait > 100) wait = 100;
  timeval tv{0, static_cast<suseconds_t>(wait * 1000)};
  libusb_handle_events_timeout_completed(Context(), &tv, nullptr);
}

void CollectChunks(BulkStream *s) {
  for (uint32_t i = 0; i < s->records; ++i) {
    Chunk &chunk = s->chunks[i];
    if (!chunk.busy || !chunk.finished) continue;
    chunk.busy = false;
    --s->busy;
    const libusb_transfer *t = chunk.transfer;
    if (t->actual_length > 0) {
      s->moved += static_cast<uint64_t>(t->actual_length);
    }
    if (t->status != LIBUSB_TRANSFER_COMPLETED &&
        t->status != LIBUSB_TRANSFER_CANCELLED)
      LibusbFailed("bulk chunk", t->status);
    switch (t->status) {
      case LIBUSB_TRANSFER_COMPLETED:
        if (t->actual_length < t->length) {
          linux_log::Line(
              "a chunk came back short: the device ended the write");
          EndStream(s, 0);
        }
        break;
      case LIBUSB_TRANSFER_CANCELLED:
        break;  // ours, after the write had ended
      case LIBUSB_TRANSFER_STALL:
        EndStream(s, ErrorFromLibusb(LIBUSB_ERROR_PIPE));
        break;
      case LIBUSB_TRANSFER_NO_DEVICE:
        EndStream(s, ErrorFromLibusb(LIBUSB_ERROR_NO_DEVICE));
        break;
      case LIBUSB_TRANSFER_TIMED_OUT:
        EndStream(s, kErrorSemTimeout);
        break;
      default:
        EndStream(s, ErrorFromLibusb(LIBUSB_ERROR_IO));
        break;
    }
  }
}

// One bulk write of `count` bytes as a stream of chunks, bounded in time as
// a whole by TransferTimeoutMs. True when every chunk went out whole, or
// when a chunk came back short (the device ended the write early); *moved
// is what really went out. Nothing is in flight when it returns.
bool WriteStream(Device *device, unsigned char *data, DWORD count,
                 DWORD *moved) {
  BulkStream s{};
  s.device = device;
  s.data = data;
  s.count = count;
  s.plan = FirstBulkPlan(device->outPacket, device->urbBytes);
  s.deadline = NowMs() + TransferTimeoutMs(count);
  s.records = s.plan.inFlight;
  // Only a write longer than one chunk is cut: the image, not a command.
  if (count > s.plan.chunkBytes)
    linux_log::Line(
        "bulk write as chunks of %lu bytes, at most %lu in flight (%s)",
        static_cast<unsigned long>(s.plan.chunkBytes),
        static_cast<unsigned long>(s.plan.inFlight),
        device->urbBytes == 0 ? "each chunk one URB"
                              : "libusb cuts into 16 KiB URBs");
  for (uint32_t i = 0; i < s.records; ++i) {
    s.chunks[i].transfer = libusb_alloc_transfer(0);
    if (s.chunks[i].transfer == nullptr) {
      EndStream(&s, ERROR_NOT_ENOUGH_MEMORY);
    }
  }
  while (true) {
    if (!s.ended) SubmitWhatFits(&s);
    if (s.busy == 0) {
      if (s.ended || AllSubmitted(s)) break;
      if (s.refused) {
        // What was in flight when the kernel said no has come back.
        s.refused = false;
        Shrink(&s);
      }
      continue;
    }
    WaitForChunks(&s);
    CollectChunks(&s);
  }
  for (uint32_t i = 0; i < s.records; ++i) {
    if (s.chunks[i].transfer != nullptr) {
      libusb_free_transfer(s.chunks[i].transfer);
    }
  }
  *moved = static_cast<DWORD>(s.moved);
  if (s.error != 0) {
    SetLastError(s.error);
    return false;
  }
  return true;
}

bool Transfer(Device *device, bool out, unsigned char *data, DWORD count,
              DWORD *moved) {
  *moved = 0;
  if (device == nullptr || !device->inUse) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  if (count > static_cast<DWORD>(INT_MAX)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  if (!EnsureOpen(device)) return false;
  const uint8_t endpoint = out ? device->outEndpoint : device->inEndpoint;
  if (endpoint == 0) {
    SetLastError(kErrorNotSupported);
    return false;
  }
  // The caller's buffer goes to libusb as it is; libusb allocates its own
  // bookkeeping for it, the platform layer nothing. A write goes as a
  // stream of chunks, within what usbfs lets a program hold in URBs.
  if (out) return WriteStream(device, data, count, moved);
  int done = 0;
  const int result = libusb_bulk_transfer(device->handle, endpoint, data,
                                          static_cast<int>(count), &done,
                                          TransferTimeoutMs(count));
  *moved = done > 0 ? static_cast<DWORD>(done) : 0;
  if (result != LIBUSB_SUCCESS) {
    LibusbFailed("libusb_bulk_transfer (IN)", result);
    SetLastError(ErrorFromLibusb(result));
    return false;
  }
  return true;
}

}  // namespace

Device *Acquire(const char *name) {
  const int index = CandidateIndexFromName(name);
  libusb_context *context = index < 0 ? nullptr : Context();
  libusb_device **list = nullptr;
  const ssize_t listed =
      context == nullptr ? -1 : libusb_get_device_list(context, &list);
  if (context != nullptr && listed < 0)
    LibusbFailed("libusb_get_device_list", static_cast<int>(listed));
  if (listed < 0) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return nullptr;
  }

  // Hubs carry no function of their own; every other device is numbered.
  uint32_t keys[kMaxListed];
  libusb_device *candidates[kMaxListed];
  size_t count = 0;
  for (ssize_t i = 0; i < listed && count < kMaxListed; ++i) {
    libusb_device_descriptor descriptor{};
    if (libusb_get_device_descriptor(list[i], &descriptor) != LIBUSB_SUCCESS ||
        descriptor.bDeviceClass == LIBUSB_CLASS_HUB) {
      continue;
    }
    keys[count] = CandidateKey(libusb_get_bus_number(list[i]),
                               libusb_get_device_address(list[i]));
    candidates[count++] = list[i];
  }
  libusb_device *chosen = nullptr;
  for (size_t i = 0; i < count && chosen == nullptr; ++i) {
    if (RankOf(keys[i], keys, count) == static_cast<size_t>(index)) {
      chosen = candidates[i];
    }
  }

  Device *device = nullptr;
  for (Device &slot : g_devices) {
    if (!slot.inUse) {
      device = &slot;
      break;
    }
  }
  if (chosen != nullptr && device != nullptr) {
    *device =
        Device{true, libusb_ref_device(chosen), nullptr, 0, 0, {-1, -1}, 0, 0};
  }
  libusb_free_device_list(list, 1);

  if (chosen == nullptr) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return nullptr;
  }
  if (device == nullptr) {
    SetLastError(kErrorTooManyOpenFiles);
    return nullptr;
  }
  return device;
}

void Release(Device *device) {
  if (device == nullptr || !device->inUse) return;
  if (device->handle != nullptr) {
    ReleaseInterfaces(device);
    libusb_close(device->handle);
  }
  libusb_unref_device(device->usb);
  *device = Device{false, nullptr, nullptr, 0, 0, {-1, -1}, 0, 0};
}

void Identify(Device *device, DEVICE_DESCRIPTOR *descriptor) {
  // The kernel's copy of the descriptor, read at enumeration: asking for
  // it sends nothing to the device.
  libusb_device_descriptor usb{};
  libusb_get_device_descriptor(device->usb, &usb);
  descriptor->usVendorId = usb.idVendor;
  descriptor->usProductId = usb.idProduct;
  descriptor->usBcdDevice = usb.bcdDevice;
  descriptor->usLanguageId = 0;
}

bool Write(Device *device, const void *data, DWORD count, DWORD *moved) {
  // libusb takes a non-const buffer for both directions; an OUT transfer
  // only reads it.
  return Transfer(device, true,
                  static_cast<unsigned char *>(const_cast<void *>(data)), count,
                  moved);
}

bool Read(Device *device, void *data, DWORD count, DWORD *moved) {
  return Transfer(device, false, static_cast<unsigned char *>(data), count,
                  moved);
}

}  // namespace linux_usb
