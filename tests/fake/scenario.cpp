#include "tests/fake/scenario.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "tests/fake/fake_image.h"
#include "tests/fake/fake_scanner.h"
#include "tests/fake/fake_service.h"
#include "tests/sim/scanner_model.h"

namespace fake {
namespace {

bool ReadFile(const std::string &path, std::string *bytes) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream all;
  all << in.rdbuf();
  *bytes = all.str();
  return static_cast<bool>(in);
}

void Substitute(std::string *text, const std::string &token,
                const std::string &value) {
  for (size_t at = text->find(token); at != std::string::npos;
       at = text->find(token, at + value.size()))
    text->replace(at, token.size(), value);
}

FakeService ServiceOf(const scn_service &s) {
  FakeService fs;
  fs.startType = s.start;
  fs.waitHint = s.wait_hint;
  fs.stopRefused = (s.flags & SCN_SERVICE_STOP_REFUSED) != 0;
  fs.startRefused = (s.flags & SCN_SERVICE_START_REFUSED) != 0;
  if (s.config_error != 0) fs.configProbeError = s.config_error;
  fs.statusQueryFailsAt = static_cast<int>(s.status_fails);
  switch (s.state) {
    case SCN_SERVICE_STOPPED:
      fs.state = SERVICE_STOPPED;
      fs.controlsAccepted = 0;
      break;
    case SCN_SERVICE_PAUSED:
      fs.state = SERVICE_PAUSED;
      fs.controlsAccepted = SERVICE_ACCEPT_STOP | 0x2;  // and pause/continue
      break;
    case SCN_SERVICE_ABSENT:
      fs.installed = false;
      break;
    case SCN_SERVICE_DENIED:
      fs.openDenied = true;
      break;
    case SCN_SERVICE_NO_MANAGER:
      fs.managerOpens = false;
      break;
  }
  return fs;
}

}  // namespace

bool LoadScenario(const std::string &recordPath, const std::string &outPath,
                  Scenario *sc, std::string *error) {
  std::string bytes;
  if (!ReadFile(recordPath, &bytes) ||
      !scn_record_valid(bytes.data(), static_cast<uint32_t>(bytes.size()))) {
    *error = "not a compiled scenario of this layout: " + recordPath;
    return false;
  }
  std::memcpy(&sc->record, bytes.data(), sizeof sc->record);
  const char *tmp = std::getenv("TMPDIR");
  const size_t slash = recordPath.find_last_of('/') + 1;
  sc->logPath =
      std::string(tmp != nullptr && tmp[0] ? tmp : "/tmp") + "/scanfw-" +
      recordPath.substr(slash, recordPath.size() - slash - 4) + "-" +
      std::to_string(getpid()) + ".log";
  sc->args.clear();
  const char *arg = sc->record.args;
  for (uint32_t i = 0; i < sc->record.argc; ++i, arg += std::strlen(arg) + 1)
    sc->args.push_back(arg == std::string("{log}") ? sc->logPath : arg);
  if (!ReadFile(outPath, &sc->expectedOutput)) {
    *error = "missing " + outPath;
    return false;
  }
  const scn_record &r = sc->record;
  sc->langId = static_cast<uint16_t>(r.lang);
  sc->clock = r.clock;
  sc->devices.clear();
  for (uint32_t i = 0; i < r.device_count; ++i) {
    const scn_device &rd = r.devices[i];
    FakeDevice d;
    d.index = rd.index;
    d.vendor = rd.vendor;
    d.product = rd.product;
    d.release = rd.release;
    d.language = rd.language;
    d.descriptorFails = rd.descriptor_fails != 0;
    d.descriptorBytes = rd.descriptor_bytes;
    d.readiness.assign(r.readiness, r.readiness + r.readiness_count);
    d.download = static_cast<uint16_t>(r.download);
    d.burn.assign(r.burn, r.burn + r.burn_count);
    if (rd.own_burn) d.burn.assign(1, rd.burn);
    for (uint32_t k = 0; k < r.fault_count; ++k) {
      const scn_fault &f = r.faults[k];
      d.faults.push_back(
          Fault{static_cast<Phase>(f.phase), static_cast<int>(f.occurrence),
                static_cast<Stage>(f.stage), static_cast<FaultKind>(f.kind)});
    }
    d.requestMs = r.request_ms;
    d.burnTimeMs = r.burn_time_ms;
    sc->devices.push_back(d);
  }
  sc->service = ServiceOf(r.service);
  sc->image = static_cast<ImageFault>(r.image);
  Substitute(&sc->expectedOutput, "{image-length}",
             std::to_string(kDefaultImageSize));
  Substitute(&sc->expectedOutput, "{image-sha256}", kDefaultImageSha256);
  return true;
}

void ApplyScenario(const Scenario &sc) {
  S().langId = sc.langId;
  S().tick = sc.clock;
  // Before the devices, which take the image's CRC-32.
  Image().length = std::min(sc.imageLength, kDefaultImageSize);
  Image().fault = sc.image;
  for (const FakeDevice &d : sc.devices) AddDevice(d);
  Service() = sc.service;
  Image().release = sc.record.firmware_release;
  std::remove(sc.logPath.c_str());
  if (sc.onConsole) {
    S().consoleOut = S().consoleIn = true;
    S().parentImage = "explorer.exe";
    S().keyAfterFlushMs = 1000;
  }
}

std::string ServiceText(const scn_service &s) {
  if (s.state == SCN_SERVICE_ABSENT) return "absent";
  return std::string(scn_state_name(s.state)) + " " + scn_start_name(s.start);
}

}  // namespace fake
