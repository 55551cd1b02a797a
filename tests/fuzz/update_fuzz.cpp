// The whole program on the fake platform: the input chooses the command
// line, the devices and their descriptors, every answer and fault of the
// scanner, the service manager's every answer, the image, and faults on any
// platform call. Every run must keep the invariants.
#include "tests/fake/check/checked_run.h"
#include "tests/fake/fake_platform.h"
#include "tests/fuzz/update_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::UpdateInput input;
  fuzz::IO reader(data, size);
  fuzz::UpdateFields(reader, &input);

  std::vector<std::pair<long, fake::Way>> faults;
  for (const fuzz::Injection &inj : input.injections)
    faults.emplace_back(inj.index, inj.way);
  fuzz::Check(fake::RunChecked(input.scenario, faults), "update");
  // The fake's state goes with the run that made it: a run that leaves more
  // allocated than it freed is run again by libFuzzer, looking for a leak.
  fake::Reset();
  return 0;
}
