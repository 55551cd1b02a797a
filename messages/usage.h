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
  const char *release;      // before the release the image makes (bcdDevice)
};

const VersionTexts &VersionTextsFor(LanguageIndex language);

// The messages of a command line that cannot be run and of the checks made
// before anything is touched; each is printed on standard error.
struct CommandLineTexts {
  const char *deviceName;      // --device without a name it can use
  const char *logFile;         // --log without a FILE
  const char *allWithDevice;   // --all with --device
  const char *logOpenBefore;   // before the log file's name
  const char *logOpenAfter;    // between the name and the system's reason
  const char *releaseUnknown;  // --check in a build that does not know it
};

const CommandLineTexts &CommandLineTextsFor(LanguageIndex language);
