#include "platform/linux/handles.h"

#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "platform/signals_blocked.h"

namespace linux_handles {
namespace {

// A thread's end, shared by the thread and its handle: whichever lets go
// last frees it.
struct ThreadState {
  DWORD (*routine)(void *) = nullptr;
  void *parameter = nullptr;
  std::mutex lock;
  std::condition_variable ended;
  bool done = false;
  bool abandoned = false;  // the handle closed before the thread ended
};

struct Entry {
  Kind kind = Kind::Free;
  bool manualReset = false;
  bool signalled = false;
  void *device = nullptr;
  void (*release)(void *device) = nullptr;
  ThreadState *thread = nullptr;
};

void *RunThread(void *argument) {
  ThreadState *state = static_cast<ThreadState *>(argument);
  state->routine(state->parameter);
  bool last = false;
  {
    std::lock_guard<std::mutex> hold(state->lock);
    state->done = true;
    last = state->abandoned;
  }
  state->ended.notify_all();
  if (last) delete state;
  return nullptr;
}

// The table is shared by the threads of --all.
std::mutex g_tableLock;

// Every device a run can hold open (257) and the events of its transfers.
const int kSlots = 640;
const uintptr_t kBase = 0x100;
Entry g_entries[kSlots];

// Called with g_tableLock held.
HANDLE Allocate(Kind kind, Entry **entry) {
  for (int i = 0; i < kSlots; ++i) {
    if (g_entries[i].kind == Kind::Free) {
      g_entries[i] = Entry();
      g_entries[i].kind = kind;
      *entry = &g_entries[i];
      return reinterpret_cast<HANDLE>(kBase + 4 * static_cast<uintptr_t>(i));
    }
  }
  return nullptr;
}

// Called with g_tableLock held.
Entry *Lookup(HANDLE handle, Kind kind) {
  uintptr_t value = reinterpret_cast<uintptr_t>(handle);
  if (value < kBase || (value - kBase) % 4 != 0) return nullptr;
  uintptr_t slot = (value - kBase) / 4;
  if (slot >= static_cast<uintptr_t>(kSlots)) return nullptr;
  Entry *entry = &g_entries[slot];
  return entry->kind == kind ? entry : nullptr;
}

}  // namespace

HANDLE NewEvent(bool manualReset, bool signalled) {
  std::lock_guard<std::mutex> hold(g_tableLock);
  Entry *entry = nullptr;
  HANDLE handle = Allocate(Kind::Event, &entry);
  if (handle == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  entry->manualReset = manualReset;
  entry->signalled = signalled;
  return handle;
}

bool SignalEvent(HANDLE handle) {
  std::lock_guard<std::mutex> hold(g_tableLock);
  Entry *entry = Lookup(handle, Kind::Event);
  if (entry == nullptr) return false;
  entry->signalled = true;
  return true;
}

bool ConsumeEvent(HANDLE handle) {
  std::lock_guard<std::mutex> hold(g_tableLock);
  Entry *entry = Lookup(handle, Kind::Event);
  if (entry == nullptr || !entry->signalled) return false;
  if (!entry->manualReset) entry->signalled = false;
  return true;
}

HANDLE NewDevice(void *device, void (*release)(void *device)) {
  std::lock_guard<std::mutex> hold(g_tableLock);
  Entry *entry = nullptr;
  HANDLE handle = Allocate(Kind::Device, &entry);
  if (handle == nullptr) return INVALID_HANDLE_VALUE;
  entry->device = device;
  entry->release = release;
  return handle;
}

void *DeviceOf(HANDLE handle) {
  std::lock_guard<std::mutex> hold(g_tableLock);
  Entry *entry = Lookup(handle, Kind::Device);
  return entry == nullptr ? nullptr : entry->device;
}

bool IsThread(HANDLE handle) {
  std::lock_guard<std::mutex> hold(g_tableLock);
  return Lookup(handle, Kind::Thread) != nullptr;
}

HANDLE NewThread(DWORD (*routine)(void *), void *parameter) {
  ThreadState *state = new ThreadState;
  HANDLE handle = nullptr;
  {
    std::lock_guard<std::mutex> hold(g_tableLock);
    Entry *entry = nullptr;
    handle = Allocate(Kind::Thread, &entry);
    if (handle != nullptr) entry->thread = state;
  }
  if (handle == nullptr) {
    delete state;
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  state->routine = routine;
  state->parameter = parameter;
  // The console's signals stay with the main thread.
  pthread_t thread;
  const bool started = WithConsoleSignalsBlocked([&thread, state] {
    return pthread_create(&thread, nullptr, RunThread, state) == 0;
  });
  if (started) pthread_detach(thread);
  if (!started) {
    std::lock_guard<std::mutex> hold(g_tableLock);
    *Lookup(handle, Kind::Thread) = Entry();
    delete state;
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  return handle;
}

bool WaitThread(HANDLE handle, DWORD milliseconds) {
  ThreadState *state = nullptr;
  {
    std::lock_guard<std::mutex> hold(g_tableLock);
    Entry *entry = Lookup(handle, Kind::Thread);
    if (entry == nullptr) return false;
    state = entry->thread;
  }
  std::unique_lock<std::mutex> hold(state->lock);
  if (milliseconds == INFINITE) {
    state->ended.wait(hold, [state] { return state->done; });
    return true;
  }
  return state->ended.wait_for(hold, std::chrono::milliseconds(milliseconds),
                               [state] { return state->done; });
}

bool Close(HANDLE handle) {
  Entry closed;
  {
    std::lock_guard<std::mutex> hold(g_tableLock);
    Entry *entry = Lookup(handle, Kind::Event);
    if (entry == nullptr) entry = Lookup(handle, Kind::Device);
    if (entry == nullptr) entry = Lookup(handle, Kind::Thread);
    if (entry == nullptr) {
      SetLastError(ERROR_INVALID_HANDLE);
      return false;
    }
    closed = *entry;
    *entry = Entry();
  }
  if (closed.kind == Kind::Device && closed.release != nullptr) {
    closed.release(closed.device);
  }
  if (closed.kind == Kind::Thread) {
    bool last = false;
    {
      std::lock_guard<std::mutex> hold(closed.thread->lock);
      closed.thread->abandoned = true;
      last = closed.thread->done;
    }
    if (last) delete closed.thread;
  }
  return true;
}

}  // namespace linux_handles
