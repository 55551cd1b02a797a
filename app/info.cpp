#include "app/info.h"

#include "messages/usage.h"
#include "resources/firmware_image.h"
#include "resources/sha256.h"
#include "scanfw_version.h"

void PrintUsage(LanguageIndex language) {
  PrintConsole("%s", UsageText(language));
}

void PrintVersion(LanguageIndex language) {
  PrintConsole("scanfw %s\n", SCANFW_VERSION);
  const VersionTexts &texts = VersionTextsFor(language);
  FirmwareImage image = {nullptr, 0};
  char hex[kSha256HexChars];
  if (LoadFirmwareImage(language, &image, hex)) {
    PrintConsole("%s%lu%s", texts.imageBefore,
                 static_cast<unsigned long>(image.Length), texts.imageAfter);
    PrintConsole("SHA-256: %s\n", hex);
  }
  const int release = CarriedFirmwareRelease();
  if (release >= 0)
    PrintConsole("%s%04X\n", texts.release, static_cast<unsigned>(release));
  // The warning does not depend on reaching the image: the build knows.
  if (CarriesPlaceholderImage()) PrintConsole("%s", texts.placeholder);
}
