// The fuzz input of the update and service harnesses, described once: the
// same field list reads an input and writes a seed from a shared scenario.
#pragma once

#include <vector>

#include "tests/fake/check/faults.h"
#include "tests/fake/scenario.h"
#include "tests/fuzz/fuzz_support.h"

namespace fuzz {

// The image of a fuzzed run, in bytes.
const uint32_t kImageLength = 4096;

// A fault laid on the k-th platform call by the entry points.
struct Injection {
  uint16_t index = 0;
  fake::Way way = fake::Way::None;
};

template <typename T, typename Each>
void ListOf(IO &io, std::vector<T> *list, size_t max, size_t min, Each each) {
  size_t n = list->size();
  io.Count(&n, max);
  if (!io.writing) list->assign(n < min ? min : n, T());
  for (T &item : *list) each(io, &item);
}

inline void StatusField(IO &io, uint16_t *status) {
  io.Choice(status, {0, 6, 7, 1, 0xFFFF, 0x0600, 2, 0x0700});
}

inline void FaultFields(IO &io, fake::Fault *f) {
  using fake::FaultKind;
  io.Choice(&f->phase, {fake::Phase::Readiness, fake::Phase::Download,
                        fake::Phase::Bulk, fake::Phase::Burn});
  io.Choice(&f->occurrence, {1, 2, 0, 3});
  io.Choice(&f->stage, {fake::Stage::Write, fake::Stage::Read});
  io.Choice(&f->kind, {FaultKind::RequestFails, FaultKind::ShortCount,
                       FaultKind::LongCount, FaultKind::WaitTimeout,
                       FaultKind::WaitFails, FaultKind::OverlappedFails});
}

inline void DeviceFields(IO &io, fake::FakeDevice *d) {
  io.Choice(&d->index, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9});
  io.Choice(&d->vendor, {0x3A7C, 0x04A9, 0x0000, 0xFFFF});
  io.Choice(&d->product, {0x4E21, 0x4E22, 0x0000, 0x1234});
  io.Flag(&d->descriptorFails);
  io.Choice(&d->descriptorBytes, {8, 0, 2, 3, 4, 6, 7, 5});
  io.Int(&d->release);
  ListOf(io, &d->readiness, 4, 1, StatusField);
  StatusField(io, &d->download);
  ListOf(io, &d->burn, 4, 1, StatusField);
  ListOf(io, &d->faults, 3, 0, FaultFields);
  io.Choice(&d->requestMs, {0, 1, 250, 1000});
}

inline void ServiceFields(IO &io, fake::FakeService *s) {
  io.Flag(&s->installed);
  bool managerFails = !s->managerOpens;
  io.Flag(&managerFails);
  s->managerOpens = !managerFails;
  io.Flag(&s->openDenied);
  io.Choice(&s->state, {SERVICE_RUNNING, SERVICE_STOPPED, SERVICE_PAUSED,
                        SERVICE_START_PENDING, SERVICE_STOP_PENDING});
  io.Choice(&s->controlsAccepted, {SERVICE_ACCEPT_STOP, 0, 3});
  io.Choice(&s->startType,
            {SERVICE_AUTO_START, SERVICE_DEMAND_START, SERVICE_DISABLED,
             SERVICE_BOOT_START, SERVICE_SYSTEM_START});
  io.Choice(&s->waitHint, {0, 100, 1000, 30000, 0xFFFFFFFFu, 7000});
  io.Choice(&s->stopPendingQueries, {1, 0, 2, 3, -1});
  io.Choice(&s->startPendingQueries, {1, 0, 2, 3, -1});
  io.Flag(&s->stopRefused);
  io.Flag(&s->startRefused);
  io.Flag(&s->changeFails);
  io.Choice(&s->statusQueryFailsAt, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9});
  io.Choice(&s->statusQueryFailCount, {1, 2, -1});
  io.Choice(&s->configProbeError,
            {ERROR_INSUFFICIENT_BUFFER, ERROR_ACCESS_DENIED, ERROR_SUCCESS,
             ERROR_GEN_FAILURE, ERROR_INVALID_HANDLE});
  io.Choice(&s->configProbeErrorTimes, {-1, 1});
  io.Flag(&s->configSecondFails);
  io.Flag(&s->allocFails);
  io.Choice(&s->stopFinalState, {SERVICE_STOPPED, SERVICE_RUNNING});
  io.Choice(&s->startFinalState, {SERVICE_RUNNING, SERVICE_STOPPED});
  io.Choice(&s->statusTrueValue, {TRUE, 2});
  io.Choice(&s->statusQueryMs, {0, 5, 50, 500});
  // A state that stays as it is moves the clock on by 5 s a query: a poll
  // reaches its 60-second bound in a dozen queries, not six hundred. Past
  // the limit every query fails, should a poll still go on.
  if (!io.writing) s->heldQueryMs = 5000;
  if (!io.writing) s->statusQueryLimit = 400;
}

inline void InjectionFields(IO &io, Injection *inj) {
  using fake::Way;
  io.Int(&inj->index);
  io.Choice(&inj->way,
            {Way::Fails, Way::Denied, Way::Insufficient, Way::Short, Way::Long,
             Way::Timeout, Way::WaitFails, Way::NullHandle});
}

// The whole update's setup.
struct UpdateInput {
  fake::Scenario scenario;
  std::vector<Injection> injections;
};

inline void UpdateFields(IO &io, UpdateInput *in) {
  fake::Scenario &sc = in->scenario;
  io.Choice(&sc.langId, {0x0409, 0x0404, 0x0804});
  io.Int(&sc.clock);
  ListOf(io, &sc.args, 3, 0, [](IO &io2, std::string *a) {
    io2.Choice(a, {"-a", "-b", "5", "-b5", "x", "", "-", "-2147483649"});
  });
  ListOf(io, &sc.devices, 4, 0, DeviceFields);
  ServiceFields(io, &sc.service);
  io.Choice(&sc.image, {fake::ImageFault::None, fake::ImageFault::Find,
                        fake::ImageFault::Load, fake::ImageFault::Lock,
                        fake::ImageFault::Empty});
  ListOf(io, &in->injections, 3, 0, InjectionFields);
  // A scanner whose last answer holds (busy, or burning for ever) moves the
  // clock on by this much a poll, so that the 10-minute bounds come within
  // a few polls. Last, so that shorter inputs mean what they meant before.
  for (fake::FakeDevice &d : sc.devices)
    io.Choice(&d.heldAnswerMs, {60000, 30000, 200000, 599000, 600000, 15000});
  // The release the image makes, which decides whether a scanner is updated;
  // after those, so that inputs written before it read as unknown.
  io.Choice(&sc.record.firmware_release, {-1, 0x0100, 0x0102, 0x0001});
  // The program sends any image in one write; a small one takes the same
  // path, and the fuzzer is not busy hashing and comparing 256 KiB a run.
  if (!io.writing) sc.imageLength = kImageLength;
}

}  // namespace fuzz
