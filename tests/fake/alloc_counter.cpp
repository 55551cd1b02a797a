#include "tests/fake/alloc_counter.h"

#include <cstdlib>
#include <new>

namespace {
bool g_counting = false;
int g_suspended = 0;
long g_count = 0;
long g_seen = 0;

void Count() {
  if (g_suspended != 0) return;
  ++g_seen;
  if (g_counting) ++g_count;
}
}  // namespace

namespace alloc_counter {
void Start() {
  g_count = 0;
  g_counting = true;
}
long Stop() {
  g_counting = false;
  return g_count;
}
void Suspend() { ++g_suspended; }
void Resume() { --g_suspended; }
long Seen() { return g_seen; }
}  // namespace alloc_counter

// operator new is counted once, not again as the malloc beneath it.
// Direct malloc family calls from the program's objects reach these through
// the linker's --wrap.
extern "C" {
void *__real_malloc(size_t size);
void *__real_calloc(size_t count, size_t size);
void *__real_realloc(void *block, size_t size);
void *__wrap_malloc(size_t size) {
  Count();
  return __real_malloc(size);
}
void *__wrap_calloc(size_t count, size_t size) {
  Count();
  return __real_calloc(count, size);
}
void *__wrap_realloc(void *block, size_t size) {
  Count();
  return __real_realloc(block, size);
}
}

void *operator new(size_t size) {
  Count();
  void *p = __real_malloc(size ? size : 1);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void *operator new[](size_t size) { return operator new(size); }
void *operator new(size_t size, const std::nothrow_t &) noexcept {
  Count();
  return __real_malloc(size ? size : 1);
}
void *operator new[](size_t size, const std::nothrow_t &t) noexcept {
  return operator new(size, t);
}
void operator delete(void *p) noexcept { std::free(p); }
void operator delete[](void *p) noexcept { std::free(p); }
void operator delete(void *p, size_t) noexcept { std::free(p); }
void operator delete[](void *p, size_t) noexcept { std::free(p); }
