#include "platform/linux/usb_backend.h"

#include <fcntl.h>
#include <libusb.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <mutex>

#include "platform/linux/bulk_plan.h"
#include "platform/linux/bulk_stream.h"
#include "platform/linux/kernel.h"
#include "platform/linux/usb_names.h"
#include "platform/signals_blocked.h"

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

// --all keeps every scanner it found open, one for each of the 256 names at
// most, and discovery holds one candidate at a time besides.
const int kDevices = 257;

Device g_devices[kDevices];
// The numbering and the slots: taken by the search, given back by each
// scanner's update, which --all runs on threads of their own.
std::mutex g_slotsLock;
// usbfs holds its memory budget for the whole system, not per device: the
// images of several scanners go out one after another, while their waits,
// pauses and burns overlap.
std::mutex g_imageLock;
const DWORD kImageTransferBytes = 64 * 1024;
// The names' numbers, fixed for the run from the first time a name is
// looked up (usb_names.h).
Numbering g_numbering;

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
// fails once and then has no devices. libusb starts its event thread here.
libusb_context *Context() {
  if (g_contextState == ContextState::kUntried) {
    const int result =
        WithConsoleSignalsBlocked([] { return libusb_init(&g_context); });
    g_contextState =
        result == LIBUSB_SUCCESS ? ContextState::kReady : ContextState::kFailed;
    if (result != LIBUSB_SUCCESS) LibusbFailed("libusb_init", result);
  }
  return g_contextState == ContextState::kReady ? g_context : nullptr;
}

DWORD ErrorFromLibusb(int error) {
  switch (error) {
    case LIBUSB_ERROR_TIMEOUT:
      return ERROR_SEM_TIMEOUT;
    case LIBUSB_ERROR_PIPE:  // the device stalled the endpoint
      return ERROR_GEN_FAILURE;
    case LIBUSB_ERROR_NO_DEVICE:
      return ERROR_DEVICE_NOT_CONNECTED;
    case LIBUSB_ERROR_ACCESS:
      return ERROR_ACCESS_DENIED;
    case LIBUSB_ERROR_BUSY:
      return ERROR_BUSY;
    case LIBUSB_ERROR_NO_MEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case LIBUSB_ERROR_INVALID_PARAM:
      return ERROR_INVALID_PARAMETER;
    case LIBUSB_ERROR_NOT_FOUND:
    case LIBUSB_ERROR_NOT_SUPPORTED:
      return ERROR_NOT_SUPPORTED;
    default:
      return ERROR_IO_DEVICE;
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
    SetLastError(ERROR_NOT_SUPPORTED);
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
    SetLastError(ERROR_NOT_SUPPORTED);
    return false;
  }
  // The caller's buffer goes to libusb as it is; libusb allocates its own
  // bookkeeping for it, the platform layer nothing. A write goes as a
  // stream of chunks, within what usbfs lets a program hold in URBs.
  int result;
  if (out) {
    const BulkTarget target{Context(), device->handle, endpoint,
                            device->outPacket, device->urbBytes};
    result = WriteBulkStream(target, data, count, moved);
  } else {
    int done = 0;
    result = libusb_bulk_transfer(device->handle, endpoint, data,
                                  static_cast<int>(count), &done,
                                  TransferTimeoutMs(count));
    *moved = done > 0 ? static_cast<DWORD>(done) : 0;
    if (result != LIBUSB_SUCCESS)
      LibusbFailed("libusb_bulk_transfer (IN)", result);
  }
  if (result != LIBUSB_SUCCESS) SetLastError(ErrorFromLibusb(result));
  return result == LIBUSB_SUCCESS;
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
  // Where each device sits is what libusb learnt when it enumerated it:
  // nothing is sent to any device.
  UsbPlace places[kMaxNumbered];
  libusb_device *candidates[kMaxNumbered];
  size_t count = 0;
  for (ssize_t i = 0; i < listed && count < kMaxNumbered; ++i) {
    libusb_device_descriptor descriptor{};
    if (libusb_get_device_descriptor(list[i], &descriptor) != LIBUSB_SUCCESS ||
        descriptor.bDeviceClass == LIBUSB_CLASS_HUB) {
      continue;
    }
    UsbPlace &place = places[count];
    place = UsbPlace{};
    place.bus = libusb_get_bus_number(list[i]);
    place.address = libusb_get_device_address(list[i]);
    const int depth = libusb_get_port_numbers(
        list[i], place.ports, static_cast<int>(sizeof place.ports));
    place.depth = depth > 0 ? static_cast<uint8_t>(depth) : 0;
    candidates[count++] = list[i];
  }
  std::unique_lock<std::mutex> slots(g_slotsLock);
  NumberAttached(&g_numbering, places, count);
  const int at = AttachedWithNumber(g_numbering, index, places, count);
  libusb_device *chosen = at < 0 ? nullptr : candidates[at];

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
  slots.unlock();
  libusb_free_device_list(list, 1);

  if (chosen == nullptr) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return nullptr;
  }
  if (device == nullptr) {
    SetLastError(ERROR_TOO_MANY_OPEN_FILES);
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
  std::lock_guard<std::mutex> slots(g_slotsLock);
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
  std::unique_lock<std::mutex> image(g_imageLock, std::defer_lock);
  if (count >= kImageTransferBytes) image.lock();
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
