// Exercises the Linux platform layer's device calls directly, under the
// umockdev testbed that scanner_testbed builds: the numbering of the
// candidates, names that do not open, the identity record, and the
// completion semantics of one command exchange on the scanner, and that no
// thread but the main one takes the console signals. Prints one
// line per observation; the testbed, which names what to probe, compares
// them with what the emulated bus must give.
#include <dirent.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/win32.h"

namespace {

HANDLE Open(const char *name) {
  return CreateFileA(name, GENERIC_READ | GENERIC_WRITE,
                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                     FILE_ATTRIBUTE_SYSTEM, nullptr);
}

void Identify(const char *name) {
  HANDLE device = Open(name);
  if (device == INVALID_HANDLE_VALUE) {
    std::printf("%s missing %u\n", name, GetLastError());
    return;
  }
  DEVICE_DESCRIPTOR descriptor;
  std::memset(&descriptor, 0xA5, sizeof descriptor);
  DWORD returned = 0;
  if (!DeviceIoControl(device, IOCTL_GET_DEVICE_DESCRIPTOR, &descriptor,
                       sizeof descriptor, &descriptor, sizeof descriptor,
                       &returned, nullptr)) {
    std::printf("%s descriptor-failed %u\n", name, GetLastError());
  } else {
    std::printf("%s %04x:%04x %04x %04x %u\n", name, descriptor.usVendorId,
                descriptor.usProductId, descriptor.usBcdDevice,
                descriptor.usLanguageId, returned);
  }
  CloseHandle(device);
}

// One readiness exchange the way the transport makes it, reporting what
// each call gave.
void Exchange(const char *name) {
  HANDLE device = Open(name);
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  OVERLAPPED overlapped = {};
  overlapped.hEvent = event;
  const unsigned char command[16] = {0x20, 0x02, 0, 0, 0x12, 0, 0x02};
  unsigned char response[32] = {};
  DWORD count = 0;
  std::printf("before: %u\n", WaitForSingleObject(event, 0));
  BOOL ok = WriteFile(device, command, sizeof command, &count, &overlapped);
  DWORD signalled = WaitForSingleObject(event, 1000);
  DWORD again = WaitForSingleObject(event, 0);
  DWORD reported = 0;
  BOOL done = GetOverlappedResult(device, &overlapped, &reported, TRUE);
  std::printf("write: %d %u %u %u %d %u\n", ok, count, signalled, again, done,
              reported);
  count = 0;
  ok = ReadFile(device, response, sizeof response, &count, &overlapped);
  signalled = WaitForSingleObject(event, 1000);
  reported = 0;
  done = GetOverlappedResult(device, &overlapped, &reported, TRUE);
  std::printf("read: %d %u %u %d %u status %u\n", ok, count, signalled, done,
              reported, response[4] | response[5] << 8);
  CloseHandle(event);
  CloseHandle(device);
}

// The threads besides this one (libusb's among them once a device was
// used) that do not block SIGINT, SIGTERM and SIGHUP, by name, or "none".
void SignalThreads() {
  const unsigned long console =
      1ul << (SIGINT - 1) | 1ul << (SIGTERM - 1) | 1ul << (SIGHUP - 1);
  std::string taking;
  DIR *tasks = opendir("/proc/self/task");
  for (dirent *t = tasks ? readdir(tasks) : nullptr; t; t = readdir(tasks)) {
    if (t->d_name[0] == '.' || atoi(t->d_name) == getpid()) continue;
    const std::string dir = std::string("/proc/self/task/") + t->d_name;
    char line[128], name[32] = "?";
    unsigned long blocked = 0;
    if (FILE *f = std::fopen((dir + "/status").c_str(), "r")) {
      while (std::fgets(line, sizeof line, f))
        if (std::sscanf(line, "SigBlk: %lx", &blocked) == 1) break;
      std::fclose(f);
    }
    if (FILE *f = std::fopen((dir + "/comm").c_str(), "r")) {
      if (std::fscanf(f, "%31s", name) != 1) std::strcpy(name, "?");
      std::fclose(f);
    }
    if ((blocked & console) != console) taking += std::string(" ") + name;
  }
  if (tasks) closedir(tasks);
  std::printf("console signals taken by other threads:%s\n",
              taking.empty() ? " none" : taking.c_str());
}

}  // namespace

// usb_probe SCANNER NAME...: identifies each NAME, then makes the exchange
// with SCANNER.
int main(int argc, char **argv) {
  for (int i = 2; i < argc; ++i) Identify(argv[i]);
  if (argc > 1) Exchange(argv[1]);
  SignalThreads();
  return 0;
}
