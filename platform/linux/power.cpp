// Power requests of the Linux stand-in. While ES_SYSTEM_REQUIRED is asked
// for, scanfw holds a logind "block" inhibitor for sleep and shutdown, so the
// machine is not put to sleep or switched off while the scanner is written.
// Without a system bus or without logind the request quietly does nothing.
#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <mutex>

#include "platform/linux/kernel.h"
#include "platform/linux/usb_names.h"
#include "platform/win32.h"

namespace {

// logind hands out the inhibitor as a file descriptor; it holds while the
// descriptor is open.
int g_inhibitor = -1;
// As on Windows, each thread asks for itself, and the system is kept awake
// while any thread asks: --all writes several scanners side by side.
thread_local EXECUTION_STATE t_state = ES_CONTINUOUS;
int g_asking = 0;  // threads asking for ES_SYSTEM_REQUIRED
std::mutex g_lock;

// logind answers at once; a bus that does not must not stall the update.
const uint64_t kCallTimeoutUsec = 2000000;

// What became of the inhibitor, with the code and its name where one failed.
void Inhibitor(const char *what, int code = 0, const char *name = nullptr) {
  if (name == nullptr) {
    linux_log::Line("logind sleep and shutdown inhibitor %s", what);
  } else {
    linux_log::Line("logind sleep and shutdown inhibitor %s: %d %s", what, code,
                    name);
  }
}

// A step of taking the inhibitor that failed: sd-bus gives -errno.
void NotTaken(const char *call, int result) {
  Inhibitor(call, -result, linux_usb::ErrnoName(-result));
}

int TakeInhibitor() {
  sd_bus *bus = nullptr;
  const int opened = sd_bus_open_system(&bus);
  if (opened < 0) {
    NotTaken("not taken, sd_bus_open_system failed", opened);
    return -1;
  }
  sd_bus_message *call = nullptr;
  sd_bus_message *reply = nullptr;
  sd_bus_error error = SD_BUS_ERROR_NULL;
  int held = -1;
  int result = sd_bus_message_new_method_call(
      bus, &call, "org.freedesktop.login1", "/org/freedesktop/login1",
      "org.freedesktop.login1.Manager", "Inhibit");
  if (result >= 0)
    result =
        sd_bus_message_append(call, "ssss", "sleep:shutdown", "scanfw",
                              "Scanner firmware update in progress", "block");
  if (result >= 0) {
    result = sd_bus_call(bus, call, kCallTimeoutUsec, &error, &reply);
    if (result < 0 && error.name != nullptr)
      Inhibitor("not taken, logind answered", -result, error.name);
  }
  if (result >= 0) {
    int fd = -1;
    // The reply owns its descriptor; keep a copy of our own.
    if (sd_bus_message_read(reply, "h", &fd) >= 0 && fd >= 0)
      held = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (held >= 0) Inhibitor("taken (sleep:shutdown, block)");
  } else if (error.name == nullptr) {
    NotTaken("not taken, the call to logind failed", result);
  }
  sd_bus_error_free(&error);
  sd_bus_message_unref(reply);
  sd_bus_message_unref(call);
  sd_bus_flush_close_unref(bus);
  return held;
}

}  // namespace

EXECUTION_STATE SetThreadExecutionState(EXECUTION_STATE flags) {
  const EXECUTION_STATE previous = t_state;
  // Without ES_CONTINUOUS the request is a one-off reset of the idle timer,
  // which has no inhibitor to match.
  if ((flags & ES_CONTINUOUS) == 0) return previous;
  const bool wanted = (flags & ES_SYSTEM_REQUIRED) != 0;
  const bool was = (previous & ES_SYSTEM_REQUIRED) != 0;
  t_state = flags;
  if (wanted == was) return previous;
  std::lock_guard<std::mutex> hold(g_lock);
  g_asking += wanted ? 1 : -1;
  if (g_asking > 0 && g_inhibitor < 0) g_inhibitor = TakeInhibitor();
  if (g_asking == 0 && g_inhibitor >= 0) {
    close(g_inhibitor);
    g_inhibitor = -1;
    Inhibitor("released");
  }
  return previous;
}
