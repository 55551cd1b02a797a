#include "tests/fake/check/checked_run.h"

#include <cstdio>
#include <cstdlib>

#include "app/entry.h"
#include "tests/fake/fake_platform.h"

namespace fake {

std::string CollectOutput(void (*body)(void *), void *context) {
  char *data = nullptr;
  size_t size = 0;
  std::fflush(stdout);
  FILE *saved = stdout;
  FILE *memory;
  {
    Bookkeeping b;
    memory = open_memstream(&data, &size);
  }
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

namespace {
struct Run {
  std::vector<std::string> args;
  std::vector<char *> argv;
  int status;
};
void RunMain(void *context) {
  Run *run = static_cast<Run *>(context);
  run->status =
      ScanfwMain(static_cast<int>(run->args.size()), run->argv.data());
}
}  // namespace

std::string RunProgram(const std::vector<std::string> &args, int *status) {
  Run run;
  {
    Bookkeeping b;
    run.args = args;
    run.args.insert(run.args.begin(), "scanfw.exe");
    for (std::string &a : run.args) run.argv.push_back(&a[0]);
    run.argv.push_back(nullptr);
  }
  run.status = -1;
  std::string out = CollectOutput(RunMain, &run);
  if (status != nullptr) *status = run.status;
  return out;
}

}  // namespace fake
