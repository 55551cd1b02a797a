#include "device/transport.h"

#include <cstdio>

#include "messages/diagnostics.h"

static_assert(sizeof(DEVICE_DESCRIPTOR) == 8,
              "the driver's identity record is 8 bytes");

namespace {

void LogCommand(const CommandBlock &command) {
  if (!diag::On()) return;
  char hex[3 * kCommandBlockSize];
  for (uint32_t i = 0; i < kCommandBlockSize; ++i)
    std::snprintf(hex + 3 * i, 4, i + 1 < kCommandBlockSize ? "%02X " : "%02X",
                  command.bytes[i]);
  diag::Line("command sent (%s): %s", CommandName(command), hex);
}

// The bulk write's end, with its rate in hundredths of MiB/s (integers).
void LogBulkEnd(bool ok, DWORD written, DWORD asked, DWORD ms) {
  char rate[48] = "rate not measurable under 1 ms";
  if (ms > 0) {
    const uint64_t hundredths =
        static_cast<uint64_t>(written) * 100000u / (uint64_t{ms} * 1048576u);
    std::snprintf(rate, sizeof rate, "%llu.%02llu MiB/s",
                  static_cast<unsigned long long>(hundredths / 100),
                  static_cast<unsigned long long>(hundredths % 100));
  }
  diag::Line("bulk write %s: %lu of %lu bytes written in %lu ms, %s",
             ok ? "done" : "failed", static_cast<unsigned long>(written),
             static_cast<unsigned long>(asked), static_cast<unsigned long>(ms),
             rate);
}

bool IsOpenHandle(DeviceHandle device) {
  return device != nullptr && device != INVALID_HANDLE_VALUE;
}

// After a request call: the completion must be signalled within the bound,
// then the completion query (which returns at once, the request being done)
// yields the byte count, which must be exactly what was asked for.
bool CompleteRequest(DeviceHandle device, OVERLAPPED *overlapped,
                     DWORD *transferred, DWORD asked, LanguageIndex language) {
  const DWORD waited =
      WaitForSingleObject(overlapped->hEvent, kCompletionWaitMs);
  if (waited != WAIT_OBJECT_0) {
    if (waited == WAIT_TIMEOUT) {
      diag::CallFailed("WaitForSingleObject (1000 ms)", WAIT_TIMEOUT);
    } else {
      diag::CallFailedLastError("WaitForSingleObject (1000 ms)");
    }
    PrintMessage(MsgUsbTimeout, language);
    return false;
  }
  if (!GetOverlappedResult(device, overlapped, transferred, TRUE)) {
    diag::CallFailedLastError("GetOverlappedResult");
    PrintMessage(MsgUsbOverlappedError, language);
    return false;
  }
  if (*transferred != asked) {
    diag::Line("GetOverlappedResult moved %lu bytes, %lu asked",
               static_cast<unsigned long>(*transferred),
               static_cast<unsigned long>(asked));
    PrintMessage(MsgUsbSizeMismatch, language);
    return false;
  }
  return true;
}

bool WritePhase(DeviceHandle device, const void *data, DWORD count,
                OVERLAPPED *overlapped, LanguageIndex language,
                DWORD *transferred) {
  *transferred = 0;
  if (!WriteFile(device, data, count, transferred, overlapped)) {
    diag::CallFailedLastError("WriteFile");
    PrintMessage(MsgUsbWriteError, language);
    return false;
  }
  return CompleteRequest(device, overlapped, transferred, count, language);
}

bool ReadPhase(DeviceHandle device, void *data, DWORD count,
               OVERLAPPED *overlapped, LanguageIndex language) {
  DWORD transferred = 0;
  if (!ReadFile(device, data, count, &transferred, overlapped)) {
    diag::CallFailedLastError("ReadFile");
    PrintMessage(MsgUsbReadError, language);
    return false;
  }
  return CompleteRequest(device, overlapped, &transferred, count, language);
}

// Unnamed, auto-reset, not signalled; null when it cannot be made.
HANDLE CreateCompletionEvent() {
  return CreateEventA(nullptr, FALSE, FALSE, nullptr);
}

}  // namespace

DeviceHandle OpenDevice(const char *name) {
  // No FILE_FLAG_OVERLAPPED: the handle does synchronous I/O, so every
  // request has finished when its call returns.
  return CreateFileA(name, GENERIC_READ | GENERIC_WRITE,
                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                     FILE_ATTRIBUTE_SYSTEM, nullptr);
}

bool QueryDeviceDescriptor(DeviceHandle device, DEVICE_DESCRIPTOR *descriptor) {
  if (descriptor == nullptr) return false;
  // A driver may fill fewer than 8 bytes; the rest must read as zero.
  *descriptor = DEVICE_DESCRIPTOR();
  DWORD returned = 0;
  return DeviceIoControl(device, IOCTL_GET_DEVICE_DESCRIPTOR, descriptor,
                         sizeof(DEVICE_DESCRIPTOR), descriptor,
                         sizeof(DEVICE_DESCRIPTOR), &returned,
                         nullptr) != FALSE;
}

bool ExchangeCommand(DeviceHandle device, const CommandBlock &command,
                     ResponseBlock *response, LanguageIndex language) {
  if (!IsOpenHandle(device) || response == nullptr) return false;
  LogCommand(command);
  HANDLE event = CreateCompletionEvent();
  if (event == nullptr) {
    diag::CallFailedLastError("CreateEventA");
    return false;
  }
  // One record and one event serve both phases; the record is not cleared
  // between them.
  OVERLAPPED overlapped = {};
  overlapped.hEvent = event;
  DWORD written = 0;
  const bool ok = WritePhase(device, command.bytes, kCommandBlockSize,
                             &overlapped, language, &written) &&
                  ReadPhase(device, response->bytes, kResponseBlockSize,
                            &overlapped, language);
  CloseHandle(event);
  return ok;
}

bool WriteBulkData(DeviceHandle device, const uint8_t *data, uint32_t count,
                   LanguageIndex language) {
  if (!IsOpenHandle(device)) return false;
  HANDLE event = CreateCompletionEvent();
  if (event == nullptr) {
    diag::CallFailedLastError("CreateEventA");
    return false;
  }
  OVERLAPPED overlapped = {};
  overlapped.hEvent = event;
  const DWORD start = diag::On() ? GetTickCount() : 0;
  diag::Line("bulk write: %lu bytes asked", static_cast<unsigned long>(count));
  // The caller's buffer goes to the driver as it is, in one request.
  DWORD written = 0;
  const bool ok =
      WritePhase(device, data, count, &overlapped, language, &written);
  if (diag::On()) LogBulkEnd(ok, written, count, GetTickCount() - start);
  CloseHandle(event);
  return ok;
}

void CloseDevice(DeviceHandle device) {
  if (device != nullptr) CloseHandle(device);
}
