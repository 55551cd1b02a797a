// The runs that only inform: the usage text and the version. Neither opens
// a device nor touches the still-image service.
#pragma once

#include "messages/messages.h"

// The usage text in the language.
void PrintUsage(LanguageIndex language);

// "scanfw <version>", then the carried image's length in bytes and its
// SHA-256, and the placeholder warning when the build carries the
// placeholder. An image that cannot be reached prints its step's message
// (LoadFirmwareImage's own) instead of the image lines.
void PrintVersion(LanguageIndex language);
