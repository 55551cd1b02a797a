// The service controller alone against arbitrary service-manager answers:
// the input chooses the manager's behaviour, a sequence of the controller's
// operations and faults on any call; a resume always comes last, as in the
// program. Every run must keep the invariants that concern the service.
#include "service/wia_control.h"
#include "tests/fake/check/checked_run.h"
#include "tests/fake/check/invariants.h"
#include "tests/fuzz/update_input.h"

namespace {

enum Op : uint8_t { kQuery, kSetStart, kSuspend, kResume };

struct Step {
  Op op = kQuery;
  uint8_t startType = SERVICE_DISABLED;
};

void StepFields(fuzz::IO &io, Step *step) {
  io.Choice(&step->op, {kSuspend, kQuery, kSetStart, kResume});
  io.Choice(&step->startType, {SERVICE_DISABLED, SERVICE_AUTO_START,
                               SERVICE_DEMAND_START, 0, 0xFF});
}

struct Run {
  std::vector<Step> steps;
  size_t resumeFrom = 0;
};

void Body(void *context) {
  Run *run = static_cast<Run *>(context);
  CWIAControl control;
  for (const Step &step : run->steps) {
    SERVICE_STATUS status;
    if (step.op == kQuery) control.QueryStatus(&status);
    if (step.op == kSetStart) control.SetStartType(step.startType);
    if (step.op == kSuspend) control.SuspendService();
    if (step.op == kResume) control.ResumeService();
  }
  run->resumeFrom = fake::Entries().size();
  control.ResumeService();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::IO reader(data, size);
  fake::FakeService service;
  fuzz::ServiceFields(reader, &service);
  Run run;
  fuzz::ListOf(reader, &run.steps, 6, 0, StepFields);
  std::vector<fuzz::Injection> injections;
  fuzz::ListOf(reader, &injections, 3, 0, fuzz::InjectionFields);

  fake::Reset();
  fake::Service() = service;
  for (const fuzz::Injection &inj : injections) fake::Arm(inj.index, inj.way);
  const std::string out = fake::CollectOutput(Body, &run);
  fuzz::Check(fake::CheckInvariantsFrom(out, fake::RunKind::ServiceOnly,
                                        run.resumeFrom),
              "service");
  return 0;
}
