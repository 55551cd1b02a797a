// Still-image devices on Linux: the device calls of the Windows API on top
// of the USB backend. A handle does synchronous I/O, so a request has
// finished when its call returns: success signals the OVERLAPPED's event and
// leaves the byte count where GetOverlappedResult finds it, as Windows does
// for a synchronous handle.
#include "platform/linux/handles.h"
#include "platform/linux/usb_backend.h"
#include "platform/win32.h"

namespace {

// The status values that Windows keeps in OVERLAPPED.Internal.
const ULONG_PTR kStatusSuccess = 0;
const ULONG_PTR kStatusUnsuccessful = 0xC0000001u;

void ReleaseDevice(void *device) {
  linux_usb::Release(static_cast<linux_usb::Device *>(device));
}

linux_usb::Device *DeviceOf(HANDLE handle) {
  return static_cast<linux_usb::Device *>(linux_handles::DeviceOf(handle));
}

// Records the outcome of one request in its OVERLAPPED, the way the
// completion query reads it back.
BOOL Complete(bool ok, DWORD moved, LPDWORD transferred,
              LPOVERLAPPED overlapped) {
  if (transferred != nullptr) *transferred = moved;
  if (overlapped != nullptr) {
    overlapped->Internal = ok ? kStatusSuccess : kStatusUnsuccessful;
    overlapped->InternalHigh = moved;
    if (ok && overlapped->hEvent != nullptr) {
      linux_handles::SignalEvent(overlapped->hEvent);
    }
  }
  return ok ? TRUE : FALSE;
}

}  // namespace

HANDLE CreateFileA(LPCSTR name, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD,
                   DWORD, HANDLE) {
  // Access, sharing and flags need no translation: every device opens for
  // reading and writing, shared, existing only.
  linux_usb::Device *device = linux_usb::Acquire(name);
  if (device == nullptr) return INVALID_HANDLE_VALUE;
  HANDLE handle = linux_handles::NewDevice(device, ReleaseDevice);
  if (handle == INVALID_HANDLE_VALUE) {
    linux_usb::Release(device);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  }
  return handle;
}

BOOL DeviceIoControl(HANDLE handle, DWORD code, LPVOID, DWORD, LPVOID out,
                     DWORD outSize, LPDWORD returned, LPOVERLAPPED) {
  linux_usb::Device *device = DeviceOf(handle);
  if (device == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (code != IOCTL_GET_DEVICE_DESCRIPTOR) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (out == nullptr || outSize < sizeof(DEVICE_DESCRIPTOR)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  linux_usb::Identify(device, static_cast<DEVICE_DESCRIPTOR *>(out));
  if (returned != nullptr) *returned = sizeof(DEVICE_DESCRIPTOR);
  return TRUE;
}

BOOL WriteFile(HANDLE handle, LPCVOID buffer, DWORD bytes, LPDWORD written,
               LPOVERLAPPED overlapped) {
  DWORD moved = 0;
  const bool ok = linux_usb::Write(DeviceOf(handle), buffer, bytes, &moved);
  return Complete(ok, moved, written, overlapped);
}

BOOL ReadFile(HANDLE handle, LPVOID buffer, DWORD bytes, LPDWORD read,
              LPOVERLAPPED overlapped) {
  DWORD moved = 0;
  const bool ok = linux_usb::Read(DeviceOf(handle), buffer, bytes, &moved);
  return Complete(ok, moved, read, overlapped);
}

BOOL GetOverlappedResult(HANDLE handle, LPOVERLAPPED overlapped,
                         LPDWORD transferred, BOOL) {
  // Nothing is ever pending, so there is nothing to wait for: the record
  // holds the outcome of the last request made with it.
  if (DeviceOf(handle) == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (overlapped == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (transferred != nullptr) {
    *transferred = static_cast<DWORD>(overlapped->InternalHigh);
  }
  if (overlapped->Internal != kStatusSuccess) {
    SetLastError(ERROR_GEN_FAILURE);
    return FALSE;
  }
  return TRUE;
}
