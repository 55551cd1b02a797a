#include "tests/fake/check/checked_run.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "app/entry.h"
#include "tests/fake/check/invariants.h"
#include "tests/fake/fake_platform.h"

namespace fake {

std::string CollectOutput(void (*body)(void *), void *context) {
  char *data = nullptr;
  size_t size = 0;
  std::fflush(stdout);
  FILE *saved = stdout;
  FILE *memory = [&data, &size]() {
    Bookkeeping b;
    return open_memstream(&data, &size);
  }();
  if (memory == nullptr) return "";
  stdout = memory;
  body(context);
  std::fflush(stdout);
  stdout = saved;
  Bookkeeping b;
  std::fclose(memory);
  std::string out(data, size);
  std::free(data);
  return out;
}

std::string RunProgram(const std::vector<std::string> &args, int *status) {
  struct Run {
    std::vector<std::string> args;
    std::vector<char *> argv;
    int status = -1;
  } run;
  {
    Bookkeeping b;
    run.args = args;
    run.args.insert(run.args.begin(), "scanfw.exe");
    for (std::string &a : run.args) run.argv.push_back(&a[0]);
    run.argv.push_back(nullptr);
  }
  std::string out = CollectOutput(
      [](void *context) {
        Run *run = static_cast<Run *>(context);
        run->status =
            ScanfwMain(static_cast<int>(run->args.size()), run->argv.data());
      },
      &run);
  if (status != nullptr) *status = run.status;
  return out;
}

std::vector<std::string> FakeScenarioNames(const std::string &records) {
  std::vector<std::string> names;
  std::ifstream list(records + "/fake.list");
  for (std::string name; std::getline(list, name);)
    if (!name.empty()) names.push_back(name);
  return names;
}

std::vector<std::string> RunChecked(
    const Scenario &scenario, const std::vector<std::pair<long, Way>> &faults) {
  Reset();
  ApplyScenario(scenario);
  for (const auto &fault : faults) Arm(fault.first, fault.second);
  int status = -1;
  const std::string out = RunProgram(scenario.args, &status);
  std::vector<std::string> v =
      CheckInvariantsFrom(out, KindOfArguments(scenario.args));
  CheckExitStatus(scenario.args, out, status, &v);
  return v;
}

}  // namespace fake
