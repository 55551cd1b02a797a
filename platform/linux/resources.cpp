// The executable's own resources on Linux. The firmware image is assembled
// into a read-only section of the executable (firmware_carrier.S), so these
// calls hand out memory the loader has already mapped with the program,
// exactly as Windows does with a resource: nothing is read or copied.
// Only the one entry the program carries exists, as the resource script
// declares it on Windows (resources/scanfw.rc.in): the null module (the
// running executable), integer id 119, string type "BINARY".
#include <strings.h>

#include "platform/win32.h"

extern "C" {
extern const uint8_t scanfw_firmware_image_begin[];
extern const uint8_t scanfw_firmware_image_end[];
}

namespace {

const uintptr_t kImageId = 119;
const char kImageType[] = "BINARY";

// Its address is the entry handle that FindResourceA hands out.
const char kImageEntry = 0;

HRSRC ImageEntry() {
  return reinterpret_cast<HRSRC>(const_cast<char *>(&kImageEntry));
}

bool IsImageEntry(HMODULE module, HRSRC resource) {
  return module == nullptr && resource == ImageEntry();
}

}  // namespace

HRSRC FindResourceA(HMODULE module, LPCSTR name, LPCSTR type) {
  if (module != nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  // Windows matches string type names without regard to case.
  if (IS_INTRESOURCE(type) || strcasecmp(type, kImageType) != 0) {
    SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
    return nullptr;
  }
  if (!IS_INTRESOURCE(name) || reinterpret_cast<uintptr_t>(name) != kImageId) {
    SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return nullptr;
  }
  return ImageEntry();
}

// As on Windows, the data handle is the address of the bytes.
HGLOBAL LoadResource(HMODULE module, HRSRC resource) {
  if (!IsImageEntry(module, resource)) {
    SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
    return nullptr;
  }
  return const_cast<uint8_t *>(scanfw_firmware_image_begin);
}

LPVOID LockResource(HGLOBAL data) { return data; }

DWORD SizeofResource(HMODULE module, HRSRC resource) {
  if (!IsImageEntry(module, resource)) {
    SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
    return 0;
  }
  return static_cast<DWORD>(scanfw_firmware_image_end -
                            scanfw_firmware_image_begin);
}
