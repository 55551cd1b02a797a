// The scanner model on its own, before any harness trusts it.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/sim/scanner_model.h"

namespace {

const uint8_t kReadiness[16] = {0x20, 0x02, 0, 0, 0x12, 0, 0x02, 0};
const uint8_t kBurn[16] = {0x20, 0x02, 0, 0, 0x12, 0, 0x08, 0};

std::vector<uint8_t> Download(uint32_t length) {
  std::vector<uint8_t> b = {0x20, 0x02, 0, 0, 0x2A, 0, 0x08, 0, 4, 0, 0, 0};
  for (int i = 0; i < 4; ++i)
    b.push_back(static_cast<uint8_t>(length >> (8 * i)));
  return b;
}

scn_record Record() {
  scn_record r;
  std::memset(&r, 0, sizeof r);
  r.magic = SCN_MAGIC;
  r.version = SCN_VERSION;
  r.size = sizeof r;
  r.device_count = 1;
  r.devices[0] = scn_device{0, 0x3A7C, 0x4E21, 0x0100, 0, 0, 8, 1, 1, 0, 0, 0};
  r.readiness_count = r.burn_count = 1;
  r.bulk_fault_offset = SCN_NO_OFFSET;
  return r;
}

scn_record Faulty(scn_fault fault, uint32_t offset = SCN_NO_OFFSET) {
  scn_record r = Record();
  r.fault_count = 1;
  r.faults[0] = fault;
  r.bulk_fault_offset = offset;
  return r;
}

const uint8_t kImage[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};

struct Scanner {
  explicit Scanner(const scn_record &r, uint32_t slot = 0) : rec(r) {
    scn_scanner_init(&s, &rec, slot, sizeof kImage,
                     scn_crc32(0, kImage, sizeof kImage));
  }
  scn_outcome Write(const uint8_t *data, uint32_t length, int continues = 0) {
    scn_outcome o;
    scn_write(&s, data, length, continues, &o);
    return o;
  }
  // One command and its read; the status, or -1 when a step failed.
  int Exchange(const uint8_t *command, uint32_t length = 16,
               scn_outcome *w = nullptr, scn_outcome *r = nullptr) {
    const scn_outcome ow = Write(command, length);
    if (w) *w = ow;
    if (ow.fault == SCN_FAULT_FAIL) return -1;
    uint8_t response[32];
    scn_outcome orr;
    scn_read(&s, response, sizeof response, now, &orr);
    if (r) *r = orr;
    if (orr.fault == SCN_FAULT_FAIL || orr.count < 6) return -1;
    return response[4] | response[5] << 8;
  }
  std::string Wire() const { return std::string(s.wire, s.wire_length); }
  scn_record rec;
  scn_scanner s;
  uint32_t now = 0;  // the harness's clock, ms
};

TEST(ScannerModel, AnswersFollowTheScriptAndTheLastRepeats) {
  scn_record r = Record();
  r.readiness_count = 2;
  r.readiness[0] = 5;
  r.readiness[1] = 0;
  r.burn_count = 2;
  r.burn[0] = 7;
  r.burn[1] = 6;
  r.download = 9;
  Scanner sc(r);
  EXPECT_EQ(sc.Exchange(kReadiness), 5);
  EXPECT_EQ(sc.Exchange(kReadiness), 0);
  EXPECT_EQ(sc.Exchange(kReadiness), 0);
  EXPECT_EQ(sc.Exchange(Download(10).data()), 9);
  const scn_outcome o = sc.Write(kImage, sizeof kImage);
  EXPECT_EQ(o.phase, SCN_PHASE_BULK);
  EXPECT_EQ(o.count, 10u);
  EXPECT_EQ(sc.Exchange(kBurn), 7);
  EXPECT_EQ(sc.Exchange(kBurn), 6);
  EXPECT_EQ(sc.Exchange(kBurn), 6);
  EXPECT_EQ(sc.Wire(), "RRRDBSSS");
  EXPECT_EQ(sc.s.bulk_length, 10u);
  EXPECT_EQ(sc.s.bulk_crc, scn_crc32(0, kImage, sizeof kImage));
}

// A burn that takes its time: 7 until that many ms have passed since the
// first burn-status answer, on a clock that may wrap, then the script's last.
TEST(ScannerModel, BurnTimeAnswersBurningUntilItHasPassed) {
  scn_record r = Record();
  r.burn_time_ms = 2500;
  r.burn_count = 5;  // not the script's fourth answer, but its last
  for (int i = 0; i < 4; ++i) r.burn[i] = 5;
  r.burn[4] = 6;
  Scanner sc(r);
  const struct {
    uint32_t now;
    int status;
  } kPolls[] = {{0xFFFFF800u, 7},
                {0xFFFFFFFFu, 7},
                {0x1C3u, 7},
                {0x1C4u, 6},
                {0x10000u, 6}};
  for (const auto &p : kPolls) {
    sc.now = p.now;
    EXPECT_EQ(sc.Exchange(kBurn), p.status) << p.now;
  }
  EXPECT_EQ(sc.Wire(), "SSSSS");
}

// Each byte that names a command: changed, the command is another one. A
// reserved byte, or a download of another length, is answered by its phase
// but does not read as the command on the wire.
TEST(ScannerModel, TheCommandAndItsWireLetterNeedEveryByte) {
  const struct {
    int byte;
    uint8_t value;
    bool names;  // the byte names the command
  } kChanges[] = {{0, 0x21, true}, {1, 0x03, true}, {2, 1, true},
                  {3, 1, true},    {4, 0x13, true}, {6, 0x03, true},
                  {5, 1, false},   {7, 1, false},   {8, 1, false},
                  {10, 1, false},  {11, 1, false},  {12, 1, false},
                  {15, 1, false}};
  for (const auto &c : kChanges) {
    SCOPED_TRACE("byte " + std::to_string(c.byte));
    Scanner sc(Record());
    std::vector<uint8_t> command(kReadiness, kReadiness + 16);
    command[c.byte] = c.value;
    scn_outcome w;
    EXPECT_EQ(sc.Exchange(command.data(), 16, &w),
              c.names ? SCN_UNKNOWN_STATUS : 0);
    EXPECT_EQ(w.phase, c.names ? SCN_PHASE_OTHER : SCN_PHASE_READINESS);
    EXPECT_EQ(sc.Wire(), "?");
  }
  std::vector<uint8_t> modifier = Download(10);
  modifier[8] = 5;
  for (const std::vector<uint8_t> &download :
       {Download(11), modifier, Download(10)}) {
    Scanner sc(Record());
    EXPECT_EQ(sc.Exchange(download.data()), 0);
    EXPECT_EQ(sc.Wire(), download == Download(10) ? "D" : "?");
  }
  Scanner sc(Record());
  EXPECT_EQ(sc.Exchange(kReadiness, 15), SCN_UNKNOWN_STATUS);
  EXPECT_EQ(sc.Exchange(kReadiness), 0);
  EXPECT_EQ(sc.s.exchanges[SCN_PHASE_READINESS], 1u);
}

struct FaultCase {
  uint8_t phase, stage, kind;
  uint32_t occurrence;
  const char *wire;  // after R R D B S S, each as far as it went
};

const FaultCase kFaults[] = {
    {SCN_PHASE_READINESS, SCN_STAGE_WRITE, SCN_FAULT_FAIL, 2, "RDBSS"},
    {SCN_PHASE_READINESS, SCN_STAGE_READ, SCN_FAULT_SHORT, 1, "RRDBSS"},
    {SCN_PHASE_DOWNLOAD, SCN_STAGE_WRITE, SCN_FAULT_LONG, 1, "RRDBSS"},
    {SCN_PHASE_BULK, SCN_STAGE_WRITE, SCN_FAULT_FAIL, 1, "RRDSS"},
    {SCN_PHASE_BULK, SCN_STAGE_WRITE, SCN_FAULT_STALL, 1, "RRDBSS"},
    {SCN_PHASE_BURN, SCN_STAGE_READ, SCN_FAULT_TIMEOUT, 2, "RRDBSS"},
    {SCN_PHASE_BURN, SCN_STAGE_WRITE, SCN_FAULT_OVERLAPPED, 0, "RRDBSS"},
};

class ModelFaults : public testing::TestWithParam<FaultCase> {};

// The fault hits its own request and no other; the counts it changes.
TEST_P(ModelFaults, HitOnlyTheirRequest) {
  const FaultCase &c = GetParam();
  Scanner sc(Faulty({c.phase, c.stage, c.kind, 0, c.occurrence}));
  const std::vector<uint8_t> download = Download(10);
  // What each phase sends, by SCN_PHASE_*.
  const uint8_t *const bytes[SCN_PHASES] = {nullptr, kReadiness,
                                            download.data(), kImage, kBurn};
  uint32_t seen[SCN_PHASES] = {0};
  for (uint32_t phase :
       {SCN_PHASE_READINESS, SCN_PHASE_READINESS, SCN_PHASE_DOWNLOAD,
        SCN_PHASE_BULK, SCN_PHASE_BURN, SCN_PHASE_BURN}) {
    const uint32_t n = ++seen[phase];
    const bool hit =
        phase == c.phase && (c.occurrence == 0 || c.occurrence == n);
    const uint32_t length = phase == SCN_PHASE_BULK ? sizeof kImage : 16;
    const scn_outcome w = sc.Write(bytes[phase], length);
    EXPECT_EQ(w.phase, phase);
    const uint32_t wfault =
        hit && c.stage == SCN_STAGE_WRITE ? c.kind : SCN_FAULT_NONE;
    EXPECT_EQ(w.fault, wfault) << "write " << phase << " #" << n;
    const uint32_t wcount = wfault == SCN_FAULT_FAIL   ? 0
                            : wfault == SCN_FAULT_LONG ? length + 1
                                                       : length;
    EXPECT_EQ(w.count, wcount);
    if (phase == SCN_PHASE_BULK || wfault == SCN_FAULT_FAIL) continue;
    uint8_t response[32];
    scn_outcome rd;
    scn_read(&sc.s, response, 32, 0, &rd);
    const uint32_t rfault =
        hit && c.stage == SCN_STAGE_READ ? c.kind : SCN_FAULT_NONE;
    EXPECT_EQ(rd.fault, rfault) << "read " << phase << " #" << n;
    EXPECT_EQ(rd.count, rfault == SCN_FAULT_SHORT ? 31u : 32u);
  }
  EXPECT_EQ(sc.Wire(), c.wire);
}

INSTANTIATE_TEST_SUITE_P(Kinds, ModelFaults, testing::ValuesIn(kFaults),
                         [](const testing::TestParamInfo<FaultCase> &info) {
                           return "Phase" + std::to_string(info.param.phase) +
                                  "Kind" + std::to_string(info.param.kind);
                         });

TEST(ScannerModel, ResponsesAreJunkButTheStatus) {
  scn_record r = Record();
  r.readiness[0] = 0x0106;
  Scanner sc(r);
  uint8_t first[32], second[32];
  scn_outcome o;
  scn_write(&sc.s, kReadiness, 16, 0, &o);
  scn_read(&sc.s, first, 32, 0, &o);
  scn_write(&sc.s, kReadiness, 16, 0, &o);
  scn_read(&sc.s, second, 32, 0, &o);
  EXPECT_EQ(first[4], 0x06);
  EXPECT_EQ(first[5], 0x01);
  EXPECT_NE(std::memcmp(first, second, 4), 0);
  for (int i = 0; i < 32; ++i)
    EXPECT_TRUE(first[i] != 0 || i == 4 || i == 5) << i;
  // A read without a command before it answers as to an unknown command.
  scn_read(&sc.s, first, 32, 0, &o);
  EXPECT_EQ(first[4] | first[5] << 8, SCN_UNKNOWN_STATUS);
}

TEST(ScannerModel, DescriptorAsFilled) {
  scn_record r = Record();
  r.device_count = 3;
  r.devices[1] =
      scn_device{2, 0x3A7C, 0x4E21, 0x0100, 0x0409, 0, 6, 0, 0, 0, 0, 0};
  r.devices[2] = scn_device{5, 0x3A7C, 0x4E21, 0x0100, 0, 1, 8, 0, 0, 0, 0, 0};
  EXPECT_EQ(scn_find_device(&r, 2), 1);
  EXPECT_EQ(scn_find_device(&r, 1), -1);
  uint8_t out[8] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
  Scanner six(r, 1);
  EXPECT_EQ(scn_descriptor(&six.s, out, 8), 6);
  const uint8_t want[8] = {0x7C, 0x3A, 0x21, 0x4E, 0x00, 0x01, 0xEE, 0xEE};
  EXPECT_EQ(std::memcmp(out, want, 8), 0);
  EXPECT_EQ(scn_descriptor(&six.s, out, 3), 3);
  Scanner fails(r, 2);
  EXPECT_EQ(scn_descriptor(&fails.s, out, 8), -1);
}

TEST(ScannerModel, BulkInPiecesIsOneWrite) {
  Scanner sc(Faulty({SCN_PHASE_BULK, SCN_STAGE_WRITE, SCN_FAULT_SHORT, 0, 1}));
  sc.Exchange(Download(10).data());
  scn_outcome o = sc.Write(kImage, 4);
  // The count is short on the last piece only.
  EXPECT_EQ(o.fault, SCN_FAULT_NONE);
  EXPECT_EQ(o.count, 4u);
  o = sc.Write(kImage + 4, 6, 1);
  EXPECT_EQ(o.phase, SCN_PHASE_BULK);
  EXPECT_EQ(o.fault, SCN_FAULT_SHORT);
  EXPECT_EQ(o.count, 5u);
  EXPECT_EQ(sc.Wire(), "DB");
  EXPECT_EQ(sc.s.bulk_crc, scn_crc32(0, kImage, sizeof kImage));
  EXPECT_EQ(sc.s.exchanges[SCN_PHASE_BULK], 1u);
}

// With an offset, a fault strikes from the piece that carries that byte:
// a short count there alone, a failure there and a stall behind it.
TEST(ScannerModel, BulkFaultFromAnOffset) {
  const struct {
    uint8_t kind;
    uint32_t want[3];
  } kCases[] = {
      {SCN_FAULT_SHORT, {SCN_FAULT_NONE, SCN_FAULT_SHORT, SCN_FAULT_NONE}},
      {SCN_FAULT_FAIL, {SCN_FAULT_NONE, SCN_FAULT_FAIL, SCN_FAULT_STALL}},
      {SCN_FAULT_GONE, {SCN_FAULT_NONE, SCN_FAULT_GONE, SCN_FAULT_GONE}}};
  for (const auto &c : kCases) {
    Scanner sc(Faulty({SCN_PHASE_BULK, SCN_STAGE_WRITE, c.kind, 0, 1}, 5));
    sc.Exchange(Download(10).data());
    for (int piece = 0; piece < 3; ++piece) {
      const scn_outcome o = sc.Write(kImage + 4 * piece, piece == 2 ? 2 : 4, 1);
      EXPECT_EQ(o.fault, c.want[piece])
          << "kind " << int(c.kind) << " piece " << piece;
    }
    EXPECT_EQ(sc.s.bulk_length, 10u);
    EXPECT_EQ(sc.Wire(), "DB");
  }
}

// The interrupt falls on the request that begins its exchange, once.
TEST(ScannerModel, InterruptFallsOnItsRequest) {
  scn_record r = Record();
  r.interrupt_signal = SCN_SIGNAL_SIGTERM;
  r.interrupt_phase = SCN_PHASE_BULK;
  r.interrupt_occurrence = 1;
  Scanner sc(r);
  scn_outcome w, rd;
  sc.Exchange(Download(10).data(), 16, &w, &rd);
  EXPECT_EQ(w.interrupt + rd.interrupt, 0u);
  EXPECT_EQ(sc.Write(kImage, 4).interrupt, SCN_SIGNAL_SIGTERM);
  EXPECT_EQ(sc.Write(kImage + 4, 6, 1).interrupt, 0u);
  r.interrupt_phase = SCN_PHASE_READINESS;
  r.interrupt_occurrence = 2;
  Scanner twice(r);
  twice.Exchange(kReadiness, 16, &w);
  EXPECT_EQ(w.interrupt, 0u);
  twice.Exchange(kReadiness, 16, &w, &rd);
  EXPECT_EQ(w.interrupt, SCN_SIGNAL_SIGTERM);
  EXPECT_EQ(rd.interrupt, 0u);
  twice.Exchange(kReadiness, 16, &w);
  EXPECT_EQ(w.interrupt, 0u);
}

TEST(ScannerModel, Crc32IsZlibs) {
  EXPECT_EQ(scn_crc32(0, reinterpret_cast<const uint8_t *>("123456789"), 9),
            0xCBF43926u);
  EXPECT_EQ(scn_crc32(scn_crc32(0, kImage, 3), kImage + 3, 7),
            scn_crc32(0, kImage, 10));
}

// The checks that judge a run: a right one passes, each wrong one is named.
TEST(ScannerModel, ChecksCatchEachWrongRun) {
  scn_record r = Record();
  r.device_count = 2;
  r.devices[0] = scn_device{0, 0x04A9, 0x1905, 0x0100, 0, 0, 8, 1, 0, 0, 0, 0};
  r.devices[1] = scn_device{1, 0x3A7C, 0x4E21, 0x0100, 0, 0, 8, 1, 1, 0, 0, 0};
  r.target = 1;
  r.checks = SCN_CHECK_WIRE | SCN_CHECK_OPENED;
  std::memcpy(r.wire, "RDBS", 4);
  r.wire_length = 4;
  auto run = [&](void (*spoil)(Scanner &, Scanner &)) {
    Scanner other(r, 0), target(r, 1);
    other.s.opened = target.s.opened = 1;
    target.Exchange(kReadiness);
    target.Exchange(Download(10).data());
    target.Write(kImage, sizeof kImage);
    target.Exchange(kBurn);
    if (spoil) spoil(other, target);
    scn_scanner both[2] = {other.s, target.s};
    char text[512] = "";
    scn_text t = {text, sizeof text, 0};
    const uint32_t problems =
        scn_check(&r, both, 2, SCN_CHECK_WIRE | SCN_CHECK_OPENED, &t);
    return std::to_string(problems) + " " + text;
  };
  EXPECT_EQ(run(nullptr), "0 ");
  const struct {
    const char *text;
    void (*spoil)(Scanner &, Scanner &);
  } kWrong[] = {
      {"1 the scanner received RDB, expected RDBS\n",
       [](Scanner &, Scanner &t) { t.s.wire_length--; }},
      {"1 device 0 is not the one to update but received R\n",
       [](Scanner &o, Scanner &) { o.Exchange(kReadiness); }},
      {"1 device 0 was opened 2 times, expected 1\n",
       [](Scanner &o, Scanner &) { o.s.opened = 2; }},
      {"1 the bulk write was 10 bytes, CRC-32 622876538, not the image's 10, "
       "622876539\n",
       [](Scanner &, Scanner &t) { t.s.bulk_crc ^= 1; }},
      {"1 the bulk write was 9 bytes, CRC-32 622876539, not the image's 10, "
       "622876539\n",
       [](Scanner &, Scanner &t) { t.s.bulk_length--; }},
  };
  for (const auto &w : kWrong) EXPECT_EQ(run(w.spoil), w.text);
  // Nothing received reads as such; a long report is cut, not overrun.
  char small[8];
  scn_text t = {small, sizeof small, 0};
  scn_say(&t, "%w/%U", "", 0u, static_cast<uint64_t>(1) << 40);
  EXPECT_STREQ(small, "nothing");
}

// What the compiler wrote reads back field by field as the layout says.
TEST(CompiledScenario, ReadsAsWritten) {
  std::ifstream in(std::string(SCANFW_SCENARIO_RECORDS) + "/success_en.rec",
                   std::ios::binary);
  const std::string data((std::istreambuf_iterator<char>(in)),
                         std::istreambuf_iterator<char>());
  const uint32_t size = static_cast<uint32_t>(data.size());
  ASSERT_TRUE(scn_record_valid(data.data(), size));
  scn_record r;
  std::memcpy(&r, data.data(), sizeof r);
  EXPECT_EQ(r.lang, 0x0409u);
  EXPECT_EQ(r.device_count, 1u);
  EXPECT_EQ(r.devices[0].vendor, 0x3A7C);
  EXPECT_EQ(r.devices[0].descriptor_bytes, 8);
  EXPECT_EQ(r.target, 0);
  EXPECT_EQ(r.readiness_count, 3u);
  EXPECT_EQ(r.readiness[1], 5);
  EXPECT_EQ(r.burn_count, 4u);
  EXPECT_EQ(r.burn[3], 0);
  EXPECT_EQ(std::string(r.wire, r.wire_length), "RRRDBSSSS");
  EXPECT_EQ(r.checks, SCN_CHECK_WIRE | SCN_CHECK_OPENED | SCN_CHECK_SERVICE |
                          SCN_CHECK_SERVICE_DURING);
  EXPECT_EQ(r.expect_service_during.state, SCN_SERVICE_STOPPED);
  EXPECT_EQ(r.expect_service_during.start, SCN_START_DISABLED);
  EXPECT_EQ(r.harnesses,
            SCN_HARNESS_FAKE | SCN_HARNESS_WINE | SCN_HARNESS_UMOCKDEV);
  EXPECT_FALSE(scn_record_valid(data.data(), size - 4));
}

}  // namespace
