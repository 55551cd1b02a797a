// The fault sweep: every shared scenario is run once cleanly to count its
// platform calls, then once for each call and each way that call can fail,
// with the invariants checked after every run.
//
//   scanfw_sweep [--mutant NAME] [--only SCENARIO] [--shard K/N]
//                [--long-stride N] [--quiet] [--verbose] [--console]
//
// --shard K/N sweeps the Kth of every N scenarios in name order (K from 1),
// so that N processes share the sweep.
//
// --verbose runs every scenario with scanfw's --verbose, its log thrown
// away: the log's own calls are then swept too.
//
// --console runs each scenario as started by double-click: output and input
// a console, Explorer the parent, a key a second after the closing prompt.
//
// --long-stride N (for the slow sanitizer builds): in a run of more than
// 1000 calls, the first and last 250 calls are swept one by one and every
// Nth call between them.
//
// Without --mutant it fails on any violation. With --mutant the entry points
// imitate a broken program and the sweep fails unless the invariants catch
// it, so that they cannot quietly go blind.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tests/fake/check/checked_run.h"
#include "tests/fake/check/faults.h"

int main(int argc, char **argv) {
  fake::Mutant mutant = fake::Mutant::None;
  std::string only;
  bool quiet = false;
  bool verbose = false;
  bool console = false;
  long stride = 1;
  unsigned shard = 0, shards = 1;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--mutant") == 0 && i + 1 < argc) {
      mutant = fake::MutantFromName(argv[++i]);
      if (mutant == fake::Mutant::None) {
        std::fprintf(stderr, "sweep: unknown mutant %s\n", argv[i]);
        return 2;
      }
    } else if (std::strcmp(argv[i], "--only") == 0 && i + 1 < argc) {
      only = argv[++i];
    } else if (std::strcmp(argv[i], "--shard") == 0 && i + 1 < argc) {
      if (std::sscanf(argv[++i], "%u/%u", &shard, &shards) != 2 || shard < 1 ||
          shard > shards) {
        std::fprintf(stderr, "sweep: --shard wants K/N, 1 <= K <= N\n");
        return 2;
      }
      --shard;
    } else if (std::strcmp(argv[i], "--long-stride") == 0 && i + 1 < argc) {
      stride = std::max(1L, std::atol(argv[++i]));
    } else if (std::strcmp(argv[i], "--quiet") == 0) {
      quiet = true;
    } else if (std::strcmp(argv[i], "--verbose") == 0) {
      verbose = true;
    } else if (std::strcmp(argv[i], "--console") == 0) {
      console = true;
    } else {
      std::fprintf(stderr,
                   "usage: scanfw_sweep [--mutant NAME] [--only SCENARIO] "
                   "[--shard K/N] [--long-stride N] [--quiet] [--verbose] "
                   "[--console]\n");
      return 2;
    }
  }
  if (verbose && std::freopen("/dev/null", "w", stderr) == nullptr) return 2;

  const std::string dir = std::string(SCANFW_SOURCE_DIR) + "/tests/scenarios";
  const std::string records = SCANFW_SCENARIO_RECORDS;
  fake::SetMutant(mutant);  // a reset leaves it
  const auto began = std::chrono::steady_clock::now();
  long scenarios = 0, calls = 0, cases = 0, violations = 0, failedCases = 0;
  int shown = 0;
  // A failed case: counted, and among the first 20 shown unless --quiet.
  auto failed = [&](const std::vector<std::string> &v, const std::string &at) {
    ++failedCases;
    violations += static_cast<long>(v.size());
    if (!quiet && shown++ < 20)
      for (const std::string &line : v)
        std::printf("%s: %s\n", at.c_str(), line.c_str());
  };
  unsigned index = 0;
  for (const std::string &name : fake::FakeScenarioNames(records)) {
    if (!only.empty() && name != only) continue;
    if (index++ % shards != shard) continue;
    fake::Scenario sc;
    std::string error;
    if (!fake::LoadScenario(records + "/" + name + ".rec",
                            dir + "/" + name + ".out", &sc, &error)) {
      std::fprintf(stderr, "sweep: %s\n", error.c_str());
      return 2;
    }
    sc.onConsole = console;
    ++scenarios;
    if (verbose) sc.args.insert(sc.args.begin(), "--verbose");
    // The clean run: its calls are what the faults are laid on.
    std::vector<std::string> clean = fake::RunChecked(sc, {});
    std::vector<const char *> names;
    for (const fake::Entry &e : fake::Entries()) names.push_back(e.name);
    calls += static_cast<long>(names.size());
    ++cases;
    if (!clean.empty()) failed(clean, name + ", clean run");
    const size_t n = names.size();
    for (size_t k = 0; k < n; ++k) {
      if (stride > 1 && n > 1000 && k >= 250 && k + 250 < n &&
          (k - 250) % static_cast<size_t>(stride) != 0)
        continue;
      for (fake::Way way : fake::WaysFor(names[k])) {
        ++cases;
        std::vector<std::string> v =
            fake::RunChecked(sc, {{static_cast<long>(k + 1), way}});
        if (!v.empty())
          failed(v, name + ", call " + std::to_string(k + 1) + " " + names[k] +
                        " " + fake::WayName(way));
      }
    }
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - began)
          .count();
  std::printf(
      "sweep: %ld scenarios, %ld calls, %ld cases, %ld violations in %ld "
      "cases, %.1f s\n",
      scenarios, calls, cases, violations, failedCases, seconds);
  if (scenarios == 0) return 1;
  if (mutant != fake::Mutant::None) {
    std::printf("sweep: the broken program %s\n",
                violations > 0 ? "caught" : "NOT CAUGHT");
    return violations > 0 ? 0 : 1;
  }
  return violations == 0 ? 0 : 1;
}
