#include "tests/fuzz/fuzz_support.h"

#include <cstdio>
#include <cstdlib>

#include "tests/fake/check/faults.h"
#include "tests/fake/fake_service.h"

namespace fuzz {

void Check(const std::vector<std::string> &violations, const char *harness) {
  if (replay.trace) {
    for (const fake::Entry &e : fake::Entries())
      std::fprintf(
          stderr, "  %s %s%s%s value=%u\n", e.name, e.ok ? "ok" : "FAILED",
          e.injected != fake::Way::None ? " injected " : "",
          e.injected != fake::Way::None ? fake::WayName(e.injected) : "",
          static_cast<unsigned>(e.value));
    std::fprintf(stderr, "  service at the end: %s\n",
                 fake::DescribeService().c_str());
  }
  if (violations.empty()) return;
  if (replay.count) {
    replay.counted += static_cast<long>(violations.size());
    return;
  }
  for (const std::string &line : violations)
    std::fprintf(stderr, "%s: invariant broken: %s\n", harness, line.c_str());
  std::abort();
}

}  // namespace fuzz
