// The fuzz input of the update and service harnesses, described once: the
// same field list reads an input (fuzz::Reader) and writes a seed from a
// shared scenario (fuzz::Writer).
#pragma once

#include <vector>

#include "tests/fake/check/faults.h"
#include "tests/fake/scenario.h"
#include "tests/fuzz/fuzz_support.h"

namespace fuzz {

// A fault laid on the k-th platform call by the entry points.
struct Injection {
  uint16_t index = 0;
  fake::Way way = fake::Way::None;
};

template <typename IO, typename T>
void ListOf(IO &io, std::vector<T> *list, size_t max, size_t min,
            void (*each)(IO &, T *)) {
  size_t n = list->size();
  io.Count(&n, max);
  if (!IO::kWriting) list->assign(n < min ? min : n, T());
  for (T &item : *list) each(io, &item);
}

template <typename IO>
void StatusField(IO &io, uint16_t *status) {
  static const uint16_t choices[] = {0, 6, 7, 1, 0xFFFF, 0x0600, 2, 0x0700};
  io.Choice(status, choices, sizeof choices / sizeof choices[0]);
}

template <typename IO>
void FaultFields(IO &io, fake::Fault *f) {
  static const fake::Phase phases[] = {fake::Phase::Readiness,
                                       fake::Phase::Download, fake::Phase::Bulk,
                                       fake::Phase::Burn};
  static const fake::Stage stages[] = {fake::Stage::Write, fake::Stage::Read};
  static const fake::FaultKind kinds[] = {
      fake::FaultKind::RequestFails, fake::FaultKind::ShortCount,
      fake::FaultKind::LongCount,    fake::FaultKind::WaitTimeout,
      fake::FaultKind::WaitFails,    fake::FaultKind::OverlappedFails};
  static const int occurrences[] = {1, 2, 0, 3};
  io.Choice(&f->phase, phases, 4);
  io.Choice(&f->occurrence, occurrences, 4);
  io.Choice(&f->stage, stages, 2);
  io.Choice(&f->kind, kinds, 6);
}

template <typename IO>
void DeviceFields(IO &io, fake::FakeDevice *d) {
  static const int indices[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
  static const uint16_t vendors[] = {0x3A7C, 0x04A9, 0x0000, 0xFFFF};
  static const uint16_t products[] = {0x4E21, 0x4E22, 0x0000, 0x1234};
  static const uint32_t descriptorBytes[] = {8, 0, 2, 3, 4, 6, 7, 5};
  static const uint32_t requestMs[] = {0, 1, 250, 1000};
  io.Choice(&d->index, indices, 10);
  io.Choice(&d->vendor, vendors, 4);
  io.Choice(&d->product, products, 4);
  io.Flag(&d->descriptorFails);
  io.Choice(&d->descriptorBytes, descriptorBytes, 8);
  io.U16(&d->release);
  ListOf<IO, uint16_t>(io, &d->readiness, 4, 1, StatusField<IO>);
  StatusField(io, &d->download);
  ListOf<IO, uint16_t>(io, &d->burn, 4, 1, StatusField<IO>);
  // A scanner that burns for ever is polled for ever, as it should be; the
  // fuzzer needs runs that end.
  if (!IO::kWriting && d->burn.back() == 7) d->burn.back() = 0;
  ListOf<IO, fake::Fault>(io, &d->faults, 3, 0, FaultFields<IO>);
  io.Choice(&d->requestMs, requestMs, 4);
}

template <typename IO>
void ServiceFields(IO &io, fake::FakeService *s) {
  static const DWORD states[] = {SERVICE_RUNNING, SERVICE_STOPPED,
                                 SERVICE_PAUSED, SERVICE_START_PENDING,
                                 SERVICE_STOP_PENDING};
  static const DWORD accepted[] = {SERVICE_ACCEPT_STOP, 0, 3};
  static const DWORD startTypes[] = {SERVICE_AUTO_START, SERVICE_DEMAND_START,
                                     SERVICE_DISABLED, SERVICE_BOOT_START,
                                     SERVICE_SYSTEM_START};
  static const DWORD hints[] = {0, 100, 1000, 30000, 0xFFFFFFFFu, 7000};
  static const int pending[] = {1, 0, 2, 3, -1};
  static const int failsAt[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
  static const int failCount[] = {1, 2, -1};
  static const DWORD errors[] = {ERROR_INSUFFICIENT_BUFFER, ERROR_ACCESS_DENIED,
                                 ERROR_SUCCESS, ERROR_GEN_FAILURE,
                                 ERROR_INVALID_HANDLE};
  static const int probeTimes[] = {-1, 1};
  static const DWORD finals[] = {SERVICE_STOPPED, SERVICE_RUNNING};
  static const DWORD startFinals[] = {SERVICE_RUNNING, SERVICE_STOPPED};
  static const BOOL trueValues[] = {TRUE, 2};
  static const uint32_t queryMs[] = {0, 5, 50, 500};
  io.Flag(&s->installed);
  bool managerFails = !s->managerOpens;
  io.Flag(&managerFails);
  s->managerOpens = !managerFails;
  io.Flag(&s->openDenied);
  io.Choice(&s->state, states, 5);
  io.Choice(&s->controlsAccepted, accepted, 3);
  io.Choice(&s->startType, startTypes, 5);
  io.Choice(&s->waitHint, hints, 6);
  io.Choice(&s->stopPendingQueries, pending, 5);
  io.Choice(&s->startPendingQueries, pending, 5);
  io.Flag(&s->stopRefused);
  io.Flag(&s->startRefused);
  io.Flag(&s->changeFails);
  io.Choice(&s->statusQueryFailsAt, failsAt, 10);
  io.Choice(&s->statusQueryFailCount, failCount, 3);
  io.Choice(&s->configProbeError, errors, 5);
  io.Choice(&s->configProbeErrorTimes, probeTimes, 2);
  io.Flag(&s->configSecondFails);
  io.Flag(&s->allocFails);
  io.Choice(&s->stopFinalState, finals, 2);
  io.Choice(&s->startFinalState, startFinals, 2);
  io.Choice(&s->statusTrueValue, trueValues, 2);
  io.Choice(&s->statusQueryMs, queryMs, 4);
  // Past this many status queries every one fails: a poll the clock does
  // not move ends quickly instead of after a million queries.
  if (!IO::kWriting) s->statusQueryLimit = 400;
}

template <typename IO>
void InjectionFields(IO &io, Injection *inj) {
  static const fake::Way ways[] = {
      fake::Way::Fails,     fake::Way::Denied,    fake::Way::Insufficient,
      fake::Way::Short,     fake::Way::Long,      fake::Way::Timeout,
      fake::Way::WaitFails, fake::Way::NullHandle};
  io.U16(&inj->index);
  io.Choice(&inj->way, ways, 8);
}

// The whole update's setup.
struct UpdateInput {
  fake::Scenario scenario;
  std::vector<Injection> injections;
};

template <typename IO>
void UpdateFields(IO &io, UpdateInput *in) {
  fake::Scenario &sc = in->scenario;
  static const uint16_t langs[] = {0x0409, 0x0404, 0x0804};
  static const fake::ImageFault images[] = {
      fake::ImageFault::None, fake::ImageFault::Find, fake::ImageFault::Load,
      fake::ImageFault::Lock, fake::ImageFault::Empty};
  io.Choice(&sc.langId, langs, 3);
  io.U32(&sc.clock);
  ListOf<IO, std::string>(io, &sc.args, 3, 0, [](IO &io2, std::string *a) {
    static const std::string args[] = {"-a", "-b", "5", "-b5",
                                       "x",  "",   "-", "-2147483649"};
    io2.Choice(a, args, 8);
  });
  ListOf<IO, fake::FakeDevice>(io, &sc.devices, 4, 0, DeviceFields<IO>);
  ServiceFields(io, &sc.service);
  io.Choice(&sc.image, images, 5);
  ListOf<IO, Injection>(io, &in->injections, 3, 0, InjectionFields<IO>);
}

}  // namespace fuzz
