#include "tests/fake/scenario.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace fake {
namespace {

std::vector<std::string> Words(const std::string &text) {
  std::istringstream in(text);
  std::vector<std::string> words;
  std::string word;
  while (in >> word) words.push_back(word);
  return words;
}

std::string Joined(const std::vector<std::string> &words) {
  std::string text;
  for (const std::string &w : words) text += (text.empty() ? "" : " ") + w;
  return text;
}

bool Number(const std::string &text, int base, unsigned long *value) {
  if (text.empty()) return false;
  char *end = nullptr;
  *value = std::strtoul(text.c_str(), &end, base);
  return *end == '\0';
}

bool Statuses(const std::vector<std::string> &words,
              std::vector<uint16_t> *out) {
  out->clear();
  for (const std::string &w : words) {
    unsigned long v = 0;
    if (!Number(w, 10, &v) || v > 0xFFFF) return false;
    out->push_back(static_cast<uint16_t>(v));
  }
  return !out->empty();
}

bool ParseFault(const std::vector<std::string> &w, Fault *fault) {
  if (w.size() != 4) return false;
  if (w[0] == "readiness")
    fault->phase = Phase::Readiness;
  else if (w[0] == "download")
    fault->phase = Phase::Download;
  else if (w[0] == "bulk")
    fault->phase = Phase::Bulk;
  else if (w[0] == "burn")
    fault->phase = Phase::Burn;
  else
    return false;
  unsigned long n = 0;
  if (!Number(w[1], 10, &n) || n == 0) return false;
  fault->occurrence = static_cast<int>(n);
  if (w[2] == "write")
    fault->stage = Stage::Write;
  else if (w[2] == "read" && fault->phase != Phase::Bulk)
    fault->stage = Stage::Read;
  else
    return false;
  if (w[3] == "fail")
    fault->kind = FaultKind::RequestFails;
  else if (w[3] == "short")
    fault->kind = FaultKind::ShortCount;
  else if (w[3] == "long")
    fault->kind = FaultKind::LongCount;
  else if (w[3] == "timeout")
    fault->kind = FaultKind::WaitTimeout;
  else if (w[3] == "waitfail")
    fault->kind = FaultKind::WaitFails;
  else if (w[3] == "overlapped")
    fault->kind = FaultKind::OverlappedFails;
  else
    return false;
  return true;
}

bool ParseService(const std::vector<std::string> &w, FakeService *s) {
  if (w.empty()) return false;
  const std::string &state = w[0];
  if (state == "running") {
    s->state = SERVICE_RUNNING;
    s->controlsAccepted = SERVICE_ACCEPT_STOP;
  } else if (state == "stopped") {
    s->state = SERVICE_STOPPED;
    s->controlsAccepted = 0;
  } else if (state == "paused") {
    s->state = SERVICE_PAUSED;
    s->controlsAccepted = SERVICE_ACCEPT_STOP | 0x2;  // and pause/continue
  } else if (state == "absent") {
    s->installed = false;
  } else if (state == "denied") {
    s->openDenied = true;
  } else if (state == "no-manager") {
    s->managerOpens = false;
  } else {
    return false;
  }
  for (size_t i = 1; i < w.size(); ++i) {
    const std::string &o = w[i];
    unsigned long v = 0;
    if (o == "start=auto")
      s->startType = SERVICE_AUTO_START;
    else if (o == "start=demand")
      s->startType = SERVICE_DEMAND_START;
    else if (o == "start=disabled")
      s->startType = SERVICE_DISABLED;
    else if (o == "stop=refused")
      s->stopRefused = true;
    else if (o == "start-request=refused")
      s->startRefused = true;
    else if (o.rfind("hint=", 0) == 0 && Number(o.substr(5), 10, &v))
      s->waitHint = static_cast<DWORD>(v);
    else if (o.rfind("config-error=", 0) == 0 && Number(o.substr(13), 10, &v))
      s->configProbeError = static_cast<DWORD>(v);
    else if (o.rfind("status-fails=", 0) == 0 && Number(o.substr(13), 10, &v))
      s->statusQueryFailsAt = static_cast<int>(v);
    else
      return false;
  }
  return true;
}

// "R*3 D B S" -> "RRRDBS"
bool ParseWire(const std::vector<std::string> &w, std::string *wire) {
  wire->clear();
  for (const std::string &item : w) {
    if (item.empty() || std::string("RDBS").find(item[0]) == std::string::npos)
      return false;
    unsigned long count = 1;
    if (item.size() > 1) {
      if (item[1] != '*' || !Number(item.substr(2), 10, &count)) return false;
    }
    wire->append(count, item[0]);
  }
  return true;
}

void Substitute(std::string *text, const std::string &token,
                const std::string &value) {
  for (size_t at = text->find(token); at != std::string::npos;
       at = text->find(token, at + value.size()))
    text->replace(at, token.size(), value);
}

}  // namespace

bool LoadScenario(const std::string &scnPath, Scenario *sc,
                  std::string *error) {
  *sc = Scenario();
  size_t slash = scnPath.find_last_of('/');
  std::string base = scnPath.substr(0, scnPath.size() - 4);
  sc->name = base.substr(slash == std::string::npos ? 0 : slash + 1);

  std::ifstream in(scnPath);
  if (!in) {
    *error = "cannot read " + scnPath;
    return false;
  }
  std::vector<uint16_t> readiness{0}, burn{0};
  uint16_t download = 0;
  uint32_t requestMs = 0;
  std::vector<Fault> faults;
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line[start] == '#') continue;
    size_t colon = line.find(':');
    std::string key =
        line.substr(start, colon == std::string::npos ? colon : colon - start);
    std::string rest = colon == std::string::npos ? "" : line.substr(colon + 1);
    std::vector<std::string> w = Words(rest);
    unsigned long v = 0;
    bool ok = colon != std::string::npos;
    if (!ok) {
    } else if (key == "title") {
      sc->title = rest;
    } else if (key == "args") {
      sc->args = w;
    } else if (key == "lang") {
      ok = w.size() == 1 && Number(w[0], 16, &v) && v <= 0xFFFF;
      sc->langId = static_cast<uint16_t>(v);
    } else if (key == "clock") {
      ok = w.size() == 1 && Number(w[0], 16, &v) && v <= 0xFFFFFFFFul;
      sc->clock = static_cast<uint32_t>(v);
    } else if (key == "device") {
      FakeDevice d;
      unsigned long index = 0, vendor = 0, product = 0;
      ok = w.size() >= 3 && Number(w[0], 10, &index) && index < 256 &&
           Number(w[1], 16, &vendor) && vendor <= 0xFFFF &&
           Number(w[2], 16, &product) && product <= 0xFFFF;
      d.index = static_cast<int>(index);
      d.vendor = static_cast<uint16_t>(vendor);
      d.product = static_cast<uint16_t>(product);
      for (size_t i = 3; ok && i < w.size(); ++i) {
        if (w[i] == "descriptor-fails")
          d.descriptorFails = true;
        else if (w[i].rfind("descriptor-bytes=", 0) == 0 &&
                 Number(w[i].substr(17), 10, &v) && v <= 8)
          d.descriptorBytes = static_cast<uint32_t>(v);
        else
          ok = false;
      }
      sc->devices.push_back(d);
    } else if (key == "readiness") {
      ok = Statuses(w, &readiness);
    } else if (key == "download") {
      std::vector<uint16_t> one;
      ok = Statuses(w, &one) && one.size() == 1;
      if (ok) download = one[0];
    } else if (key == "burn") {
      ok = Statuses(w, &burn);
    } else if (key == "request-ms") {
      ok = w.size() == 1 && Number(w[0], 10, &v);
      requestMs = static_cast<uint32_t>(v);
    } else if (key == "fault") {
      Fault f{};
      ok = ParseFault(w, &f);
      faults.push_back(f);
    } else if (key == "service") {
      ok = ParseService(w, &sc->service);
    } else if (key == "image") {
      ok = w.size() == 1;
      if (!ok) {
      } else if (w[0] == "ok")
        sc->image = ImageFault::None;
      else if (w[0] == "find")
        sc->image = ImageFault::Find;
      else if (w[0] == "load")
        sc->image = ImageFault::Load;
      else if (w[0] == "lock")
        sc->image = ImageFault::Lock;
      else if (w[0] == "empty")
        sc->image = ImageFault::Empty;
      else
        ok = false;
    } else if (key == "wine") {
      ok = !w.empty() && w[0] == "no";
      sc->wine = false;
    } else if (key == "expect-wire") {
      sc->checkWire = true;
      ok = ParseWire(w, &sc->wire);
    } else if (key == "expect-opened") {
      sc->checkOpened = true;
      for (const std::string &i : w) {
        ok = ok && Number(i, 10, &v);
        sc->opened.push_back(static_cast<int>(v));
      }
    } else if (key == "expect-service") {
      sc->expectService = Joined(w);
      ok = !w.empty();
    } else if (key == "expect-exit") {
      ok = w.size() == 1 && Number(w[0], 10, &v) && v <= 255;
      sc->expectExit = static_cast<int>(v);
    } else if (key == "expect-service-calls") {
      ok = w.size() == 1 && w[0] == "none";
      sc->expectNoServiceCalls = true;
    } else if (key == "expect-service-during-transfer") {
      sc->expectServiceDuringTransfer = Joined(w);
      ok = !w.empty();
    } else {
      ok = false;
    }
    if (!ok) {
      *error =
          scnPath + ":" + std::to_string(number) + ": cannot read: " + line;
      return false;
    }
  }
  for (FakeDevice &d : sc->devices) {
    d.readiness = readiness;
    d.download = download;
    d.burn = burn;
    d.faults = faults;
    d.requestMs = requestMs;
  }

  std::ifstream out(base + ".out", std::ios::binary);
  if (!out) {
    *error = "missing " + base + ".out";
    return false;
  }
  std::ostringstream bytes;
  bytes << out.rdbuf();
  sc->expectedOutput = bytes.str();
  Substitute(&sc->expectedOutput, "{image-length}",
             std::to_string(kDefaultImageSize));
  Substitute(&sc->expectedOutput, "{image-sha256}", kDefaultImageSha256);
  return true;
}

void ApplyScenario(const Scenario &sc) {
  S().langId = sc.langId;
  S().tick = sc.clock;
  for (const FakeDevice &d : sc.devices) AddDevice(d);
  Service() = sc.service;
  Image().fault = sc.image;
}

}  // namespace fake
