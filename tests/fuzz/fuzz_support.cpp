#include "tests/fuzz/fuzz_support.h"

#include <cstdio>
#include <cstdlib>

namespace fuzz {
namespace {
bool g_count = false;
long g_counted = 0;
}  // namespace

void Check(const std::vector<std::string> &violations, const char *harness) {
  if (violations.empty()) return;
  if (g_count) {
    g_counted += static_cast<long>(violations.size());
    return;
  }
  for (const std::string &line : violations)
    std::fprintf(stderr, "%s: invariant broken: %s\n", harness, line.c_str());
  std::abort();
}

void CountViolationsInstead(bool count) { g_count = count; }
long ViolationsCounted() { return g_counted; }

}  // namespace fuzz
