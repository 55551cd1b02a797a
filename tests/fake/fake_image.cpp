// The simulated resource carrier of the firmware image. Only the entry the
// real executable carries is found: the null module, integer id 119 and the
// string type "BINARY". The handles are addresses of private objects, so a
// caller that mixes them up (uses the data handle as the bytes, or passes
// the wrong handle to a later step) is caught.
#include "tests/fake/fake_image.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

#include "resources/firmware_image.h"
#include "tests/fake/fake_platform.h"

namespace fake {
namespace {

// The Windows codes for a lookup that finds nothing.
const DWORD kErrorResourceDataNotFound = 1812;
const DWORD kErrorResourceNameNotFound = 1814;

char g_resourceEntry;  // its address is the HRSRC handed out
char g_dataHandle;     // its address is the HGLOBAL handed out

// Static storage, like the image of a real executable, so that taking the
// view allocates nothing.
uint8_t g_defaultImage[kDefaultImageSize];

const uint8_t *DefaultImage() {
  static bool filled = false;
  if (!filled) {
    for (uint32_t i = 0; i < kDefaultImageSize; ++i)
      g_defaultImage[i] = DefaultImageByte(i);
    filled = true;
  }
  return g_defaultImage;
}

std::string Address(const void *p) {
  if (p == nullptr) return "0";
  char text[32];
  std::snprintf(text, sizeof(text), "%p", p);
  return text;
}

std::string NameText(LPCSTR name) {
  if (IS_INTRESOURCE(name))
    return std::to_string(reinterpret_cast<uintptr_t>(name));
  return "\"" + std::string(name) + "\"";
}

std::string HandleText(const void *handle) {
  if (handle == &g_resourceEntry) return "rsrc";
  if (handle == &g_dataHandle) return "data";
  return Address(handle);
}

// Windows compares string resource names without regard to case.
bool SameName(const char *a, const char *b) {
  for (; *a && *b; ++a, ++b) {
    if (std::toupper(static_cast<unsigned char>(*a)) !=
        std::toupper(static_cast<unsigned char>(*b)))
      return false;
  }
  return *a == *b;
}

}  // namespace

uint8_t DefaultImageByte(uint32_t i) {
  // An integer hash of the offset: no small stride repeats, so a shifted or
  // truncated copy shows.
  uint32_t x = i;
  x ^= x >> 16;
  x *= 0x7feb352du;
  x ^= x >> 15;
  x *= 0x846ca68bu;
  x ^= x >> 16;
  return static_cast<uint8_t>(x);
}

FakeImage &Image() {
  static FakeImage image{DefaultImage(), kDefaultImageSize, ImageFault::None};
  return image;
}

void ResetImage() {
  Image() = FakeImage{DefaultImage(), kDefaultImageSize, ImageFault::None};
}

}  // namespace fake

using fake::Image;
using fake::ImageFault;

HRSRC FindResourceA(HMODULE module, LPCSTR name, LPCSTR type) {
  fake::Bookkeeping b;
  fake::Record("FindResourceA", fake::Address(module) + "," +
                                    fake::NameText(name) + "," +
                                    fake::NameText(type));
  const bool ours = module == nullptr && IS_INTRESOURCE(name) &&
                    reinterpret_cast<uintptr_t>(name) == 119 &&
                    !IS_INTRESOURCE(type) && fake::SameName(type, "BINARY");
  if (!ours || Image().fault == ImageFault::Find)
    return fake::Fail(fake::kErrorResourceNameNotFound, nullptr);
  return reinterpret_cast<HRSRC>(&fake::g_resourceEntry);
}

HGLOBAL LoadResource(HMODULE module, HRSRC resource) {
  fake::Bookkeeping b;
  fake::Record("LoadResource",
               fake::Address(module) + "," + fake::HandleText(resource));
  if (module != nullptr ||
      resource != reinterpret_cast<HRSRC>(&fake::g_resourceEntry) ||
      Image().fault == ImageFault::Load)
    return fake::Fail(fake::kErrorResourceDataNotFound, nullptr);
  return &fake::g_dataHandle;
}

LPVOID LockResource(HGLOBAL data) {
  fake::Bookkeeping b;
  fake::Record("LockResource", fake::HandleText(data));
  if (data != &fake::g_dataHandle || Image().fault == ImageFault::Lock)
    return nullptr;
  return const_cast<uint8_t *>(Image().data);
}

DWORD SizeofResource(HMODULE module, HRSRC resource) {
  fake::Bookkeeping b;
  fake::Record("SizeofResource",
               fake::Address(module) + "," + fake::HandleText(resource));
  if (module != nullptr ||
      resource != reinterpret_cast<HRSRC>(&fake::g_resourceEntry))
    return fake::Fail(fake::kErrorResourceDataNotFound, 0);
  if (Image().fault == ImageFault::Empty) return 0;
  return Image().length;
}

bool CarriesPlaceholderImage() { return Image().placeholder; }

int CarriedFirmwareRelease() { return Image().release; }
