// Linked like scanfw, it reaches the image it carries with LoadFirmwareImage
// and reports, one "key=value" a line, where the view lies and a CRC-32 of
// every byte, so that the whole image is walked once; when the image cannot
// be reached, LoadFirmwareImage's message is the only output.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "messages/messages.h"
#include "platform/win32.h"
#include "resources/firmware_image.h"
#include "tests/sim/scanner_model.h"

#ifndef _WIN32
#include <unistd.h>
#endif

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

// The view must lie in mappings of the executable file itself, none of them
// writable: then the bytes are the file's, not a copy on the heap.
void ReportPlacement(const FirmwareImage &image) {
  char exe[4096];
  ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
  if (n <= 0) {
    std::printf("InImage=0\nReason=no /proc/self/exe\n");
    return;
  }
  exe[n] = '\0';
  FILE *maps = std::fopen("/proc/self/maps", "r");
  if (maps == nullptr) {
    std::printf("InImage=0\nReason=no /proc/self/maps\n");
    return;
  }
  uintptr_t want = reinterpret_cast<uintptr_t>(image.Data);
  const uintptr_t last = want + image.Length;
  bool writable = false;
  std::string where;
  char line[8192];
  while (want < last && std::fgets(line, sizeof(line), maps) != nullptr) {
    unsigned long start = 0, end = 0;
    char perms[8] = {0};
    int pathAt = 0;
    if (std::sscanf(line, "%lx-%lx %7s %*s %*s %*s %n", &start, &end, perms,
                    &pathAt) < 3)
      continue;
    if (want < start || want >= end) continue;
    std::string path = line + pathAt;
    while (!path.empty() && (path.back() == '\n' || path.back() == ' '))
      path.pop_back();
    if (path != exe) {
      where = path.empty() ? "anonymous memory" : path;
      break;
    }
    if (std::strchr(perms, 'w') != nullptr) writable = true;
    want = end;  // the rest must continue in the next mapping
  }
  std::fclose(maps);
  std::printf("InImage=%d\n", want >= last ? 1 : 0);
  std::printf("Writable=%d\n", writable ? 1 : 0);
  if (want < last)
    std::printf("Reason=byte at 0x%lx lies in %s\n",
                static_cast<unsigned long>(want),
                where.empty() ? "no mapping of the executable" : where.c_str());
}

// Resident memory in KiB from /proc/self/status: anonymous pages (heap and
// other private memory), file-backed pages, and the peak.
std::string MemoryReport(const char *when) {
  std::string report;
  FILE *status = std::fopen("/proc/self/status", "r");
  if (status == nullptr) return report;
  char line[256];
  while (std::fgets(line, sizeof(line), status) != nullptr) {
    const char *keys[] = {"RssAnon", "RssFile", "VmHWM"};
    for (const char *key : keys) {
      size_t keyLength = std::strlen(key);
      long kib = 0;
      if (std::strncmp(line, key, keyLength) == 0 && line[keyLength] == ':' &&
          std::sscanf(line + keyLength + 1, "%ld", &kib) == 1)
        report +=
            std::string(key) + "KiB" + when + "=" + std::to_string(kib) + "\n";
    }
  }
  std::fclose(status);
  return report;
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
