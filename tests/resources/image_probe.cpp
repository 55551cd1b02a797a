// Linked like scanfw, it reaches the image it carries with LoadFirmwareImage
// and reports, one "key=value" a line, where the view lies and a CRC-32 of
// every byte, so that the whole image is walked once; when the image cannot
// be reached, LoadFirmwareImage's message is the only output.
#include <cstdint>
#include <cstdio>
#include <string>

#include "messages/messages.h"
#include "platform/win32.h"
#include "resources/firmware_image.h"
#include "tests/sim/scanner_model.h"

namespace {

#ifdef _WIN32

// The loaded executable spans SizeOfImage bytes from its module handle.
void ReportPlacement(const FirmwareImage &image) {
  const uint8_t *base =
      reinterpret_cast<const uint8_t *>(GetModuleHandleA(nullptr));
  const IMAGE_DOS_HEADER *dos =
      reinterpret_cast<const IMAGE_DOS_HEADER *>(base);
  const IMAGE_NT_HEADERS *nt =
      reinterpret_cast<const IMAGE_NT_HEADERS *>(base + dos->e_lfanew);
  const uint8_t *end = base + nt->OptionalHeader.SizeOfImage;
  const bool inside = image.Data >= base && image.Data + image.Length <= end;
  std::printf("InImage=%d\n", inside ? 1 : 0);
}

std::string MemoryReport(const char *) { return ""; }

#else

// The mappings and the memory figures as /proc gives them, each line after
// its key: check_probe.py judges where the view lies and what it cost.
std::string ProcLines(const char *path, const std::string &key) {
  std::string text;
  FILE *file = std::fopen(path, "r");
  if (file == nullptr) return text;
  char line[8192];
  while (std::fgets(line, sizeof(line), file) != nullptr)
    text += key + "=" + line;
  std::fclose(file);
  return text;
}

void ReportPlacement(const FirmwareImage &image) {
  std::printf("Data=%lx\n%s", reinterpret_cast<unsigned long>(image.Data),
              ProcLines("/proc/self/maps", "Map").c_str());
}

std::string MemoryReport(const char *when) {
  return ProcLines("/proc/self/status", std::string("Status") + when);
}

#endif

}  // namespace

int main() {
  const LANGID langId = GetUserDefaultLangID();
  const LanguageIndex language = LanguageFromLangId(langId);
  // Measured before the image is reached, printed only once it has been.
  const std::string before = MemoryReport("Before");
  FirmwareImage image = {nullptr, 0};
  if (!LoadFirmwareImage(language, &image)) return 0;
  std::printf("LangId=%04x\n", static_cast<unsigned>(langId));
  std::printf("Length=%lu\n", static_cast<unsigned long>(image.Length));
  std::printf("CRC32=%08lx\n", static_cast<unsigned long>(
                                   scn_crc32(0, image.Data, image.Length)));
  ReportPlacement(image);
  std::printf("%s%s", before.c_str(), MemoryReport("After").c_str());
  return 0;
}
