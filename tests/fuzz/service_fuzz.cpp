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

template <typename IO>
void StepFields(IO &io, Step *step) {
  static const Op ops[] = {kSuspend, kQuery, kSetStart, kResume};
  static const uint8_t types[] = {SERVICE_DISABLED, SERVICE_AUTO_START,
                                  SERVICE_DEMAND_START, 0, 0xFF};
  io.Choice(&step->op, ops, 4);
  io.Choice(&step->startType, types, 5);
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
    switch (step.op) {
      case kQuery:
        control.QueryStatus(&status);
        break;
      case kSetStart:
        control.SetStartType(step.startType);
        break;
      case kSuspend:
        control.SuspendService();
        break;
      case kResume:
        control.ResumeService();
        break;
    }
  }
  run->resumeFrom = fake::Entries().size();
  control.ResumeService();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::Reader reader(data, size);
  fake::FakeService service;
  fuzz::ServiceFields(reader, &service);
  Run run;
  fuzz::ListOf<fuzz::Reader, Step>(reader, &run.steps, 6, 0,
                                   StepFields<fuzz::Reader>);
  std::vector<fuzz::Injection> injections;
  fuzz::ListOf<fuzz::Reader, fuzz::Injection>(
      reader, &injections, 3, 0, fuzz::InjectionFields<fuzz::Reader>);

  fake::Reset();
  fake::Service() = service;
  for (const fuzz::Injection &inj : injections) fake::Arm(inj.index, inj.way);
  const std::string out = fake::CollectOutput(Body, &run);
  fuzz::Check(fake::CheckInvariantsFrom(out, fake::RunKind::ServiceOnly,
                                        run.resumeFrom),
              "service");
  return 0;
}
