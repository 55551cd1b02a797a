// The texts of the runs that only answer a question, --help and --version,
// in both languages. They live beside the catalogue, not in it: they are
// longer than a message and are never printed through PrintMessage.
#pragma once

#include "messages/messages.h"

// The whole usage text, every line ending in a line feed.
const char *UsageText(LanguageIndex language);

// The pieces of --version's image line and its placeholder warning.
struct VersionTexts {
  const char *imageBefore;  // before the length in bytes
  const char *imageAfter;   // after it, up to and including the line feed
  const char *placeholder;  // whole lines
};

const VersionTexts &VersionTextsFor(LanguageIndex language);
