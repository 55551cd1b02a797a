// The whole program on the fake platform: the input chooses the command
// line, the devices and their descriptors, every answer and fault of the
// scanner, the service manager's every answer, the image, and faults on any
// platform call. Every run must keep the invariants.
#include "tests/fake/check/checked_run.h"
#include "tests/fake/check/invariants.h"
#include "tests/fuzz/update_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::UpdateInput input;
  fuzz::Reader reader(data, size);
  fuzz::UpdateFields(reader, &input);

  fake::Reset();
  fake::ApplyScenario(input.scenario);
  for (const fuzz::Injection &inj : input.injections)
    fake::Arm(inj.index, inj.way);
  int status = -1;
  const std::string out = fake::RunProgram(input.scenario.args, &status);
  std::vector<std::string> v =
      fake::CheckInvariants(out, fake::KindOfArguments(input.scenario.args));
  fake::CheckExitStatus(input.scenario.args, out, status, &v);
  fuzz::Check(v, "update");
  return 0;
}
