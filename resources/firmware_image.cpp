// Reaching the firmware image that the executable carries. The platform
// already holds the image in memory with the loaded executable, so the view
// points there: no copy, no allocation, no file opened by name.
#include "resources/firmware_image.h"

#include "messages/diagnostics.h"
#include "platform/win32.h"
#include "resources/sha256.h"

namespace {
#ifdef _WIN32
const char kImagePlace[] = "resource BINARY/119 of the executable";
#else
const char kImagePlace[] = "the executable's read-only image section";
#endif
}  // namespace

bool LoadFirmwareImage(LanguageIndex language, FirmwareImage *image,
                       char *sha256) {
  // No language is named: the single entry is found whatever the user's
  // language is.
  HRSRC entry = FindResourceA(nullptr, MAKEINTRESOURCEA(kFirmwareResourceId),
                              SCANFW_FIRMWARE_RESOURCE_TYPE);
  if (entry == nullptr) {
    diag::CallFailedLastError("FindResourceA(BINARY/119)");
    PrintMessage(MsgFindResourceError, language);
    return false;
  }
  HGLOBAL loaded = LoadResource(nullptr, entry);
  if (loaded == nullptr) {
    diag::CallFailedLastError("LoadResource");
    PrintMessage(MsgLoadResourceError, language);
    return false;
  }
  const void *bytes = LockResource(loaded);
  if (bytes == nullptr) {
    diag::Note("LockResource failed: it gave no address (it sets no error)");
    PrintMessage(MsgLockResourceError, language);
    return false;
  }
  const DWORD length = SizeofResource(nullptr, entry);
  if (length == 0) {
    diag::CallFailedLastError("SizeofResource (length 0)");
    PrintMessage(MsgResourceEmpty, language);
    return false;
  }
  char own[kSha256HexChars];
  if (sha256 != nullptr || diag::On()) {
    if (sha256 == nullptr) sha256 = own;
    Sha256Hex(static_cast<const uint8_t *>(bytes), length, sha256);
  }
  // What --version shows, so that support can tell which image it was.
  if (diag::On())
    diag::Line("firmware image: %lu bytes, SHA-256 %s, in %s",
               static_cast<unsigned long>(length), sha256, kImagePlace);
  image->Data = static_cast<const uint8_t *>(bytes);
  image->Length = length;
  return true;
}
