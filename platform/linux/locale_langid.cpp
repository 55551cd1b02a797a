#include "platform/linux/locale_langid.h"

#include <cstdlib>
#include <cstring>

namespace {

struct LocaleEntry {
  const char *prefix;  // language, or language_TERRITORY
  uint16_t langId;
};

// Territory-specific entries come before their language's default.
const LocaleEntry kLocales[] = {
    {"zh_TW", 0x0404}, {"zh_HK", 0x0C04}, {"zh_MO", 0x1404}, {"zh_SG", 0x1004},
    {"zh_CN", 0x0804}, {"zh", 0x0804},    {"en_GB", 0x0809}, {"en_AU", 0x0C09},
    {"en_CA", 0x1009}, {"en", 0x0409},    {"ja", 0x0411},    {"ko", 0x0412},
    {"de", 0x0407},    {"fr", 0x040C},    {"es", 0x0C0A},    {"it", 0x0410},
    {"nl", 0x0413},    {"pt_BR", 0x0416}, {"pt", 0x0816},    {"ru", 0x0419},
    {"pl", 0x0415},    {"sv", 0x041D},    {"th", 0x041E},    {"vi", 0x042A},
    {"tr", 0x041F},    {"cs", 0x0405},    {"uk", 0x0422},
};

bool Matches(const char *name, const char *prefix) {
  size_t n = std::strlen(prefix);
  if (std::strncmp(name, prefix, n) != 0) return false;
  // The prefix must end where the name's language or territory ends.
  char next = name[n];
  return next == '\0' || next == '_' || next == '.' || next == '@';
}

}  // namespace

uint16_t LangIdFromLocaleName(const char *name) {
  if (name == nullptr) return 0x0409;
  for (const LocaleEntry &entry : kLocales)
    if (Matches(name, entry.prefix)) return entry.langId;
  return 0x0409;
}

uint16_t LangIdFromEnvironment() {
  const char *const variables[] = {"LC_ALL", "LC_MESSAGES", "LANG"};
  for (const char *variable : variables) {
    const char *value = std::getenv(variable);
    if (value != nullptr && value[0] != '\0')
      return LangIdFromLocaleName(value);
  }
  return 0x0409;
}
