// The one header through which the program reaches the operating system.
// On Windows it is <windows.h>; elsewhere our own declarations of the same
// subset, spelled as Windows spells them, stand in (platform/posix/).
#pragma once

#ifdef _WIN32
// Nothing here needs the sockets, RPC, OLE or shell headers, which are most
// of <windows.h>'s compile time.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// After <windows.h>, which it needs.
#include <tlhelp32.h>

// The still-image class driver's identity query comes from the DDK's
// usbscan.h, which an ordinary SDK does not ship.
#ifndef IOCTL_GET_DEVICE_DESCRIPTOR
#define IOCTL_GET_DEVICE_DESCRIPTOR 0x80002018
typedef struct _DEVICE_DESCRIPTOR {
  USHORT usVendorId;
  USHORT usProductId;
  USHORT usBcdDevice;
  USHORT usLanguageId;
} DEVICE_DESCRIPTOR, *PDEVICE_DESCRIPTOR;
#endif

// Windows has nothing to tell beneath its calls, and its console shows
// every text.
typedef void (*PLATFORM_LOG_ROUTINE)(const char *line);
inline void SetPlatformLogRoutine(PLATFORM_LOG_ROUTINE) {}
typedef bool (*PLATFORM_TEXTS_ROUTINE)(bool (*visit)(const char *text));
inline void SetPlatformTextsRoutine(PLATFORM_TEXTS_ROUTINE) {}

#else
#include "platform/posix/windows_api.h"
#endif
