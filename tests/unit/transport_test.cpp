#include "device/transport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "messages/messages.h"
#include "tests/fake/fake_platform.h"
#include "tests/fake/fake_scanner.h"
#include "tests/unit/run_scanfw.h"

namespace {

using fake::Arg;
using fake::Call;
using fake::FaultKind;
using fake::HandleKind;
using fake::Phase;
using fake::Stage;
using Names = std::vector<std::string>;

// Formatted here, not with the fake's own writer, so that a fault in the
// fake's record of a handle cannot agree with itself.
std::string Ptr(const void *p) {
  char text[32];
  std::snprintf(
      text, sizeof(text), "0x%llx",
      static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(p)));
  return text;
}

// The language the program would pass: the fake user's.
LanguageIndex Lang() { return LanguageFromLangId(fake::S().langId); }

std::string Text(int id, LanguageIndex language) {
  return std::string(MessageText(id, language)) + "\n";
}

// A failing exchange or bulk write: the fault, its message, and how many of
// kSteps it made before closing its event.
struct FailureRow {
  Stage stage;
  FaultKind kind;
  MessageId message;
  size_t steps;
};

const Names kSteps = {"WriteFile",           "WaitForSingleObject",
                      "GetOverlappedResult", "ReadFile",
                      "WaitForSingleObject", "GetOverlappedResult"};

// The write rows come first: a bulk write fails only by them.
const FailureRow kFailures[] = {
    {Stage::Write, FaultKind::RequestFails, MsgUsbWriteError, 1},
    {Stage::Write, FaultKind::WaitTimeout, MsgUsbTimeout, 2},
    {Stage::Write, FaultKind::WaitFails, MsgUsbTimeout, 2},
    {Stage::Write, FaultKind::OverlappedFails, MsgUsbOverlappedError, 3},
    {Stage::Write, FaultKind::ShortCount, MsgUsbSizeMismatch, 3},
    {Stage::Write, FaultKind::LongCount, MsgUsbSizeMismatch, 3},
    {Stage::Read, FaultKind::RequestFails, MsgUsbReadError, 4},
    {Stage::Read, FaultKind::WaitTimeout, MsgUsbTimeout, 5},
    {Stage::Read, FaultKind::WaitFails, MsgUsbTimeout, 5},
    {Stage::Read, FaultKind::OverlappedFails, MsgUsbOverlappedError, 6},
    {Stage::Read, FaultKind::ShortCount, MsgUsbSizeMismatch, 6},
    {Stage::Read, FaultKind::LongCount, MsgUsbSizeMismatch, 6},
};

// The calls of an exchange or bulk write that made this many of kSteps.
Names CallsMaking(size_t steps) {
  Names calls = {"CreateEventA"};
  calls.insert(calls.end(), kSteps.begin(), kSteps.begin() + steps);
  calls.push_back("CloseHandle");
  return calls;
}

// What body returned and printed; it must allocate nothing.
template <typename F>
std::pair<bool, std::string> WithoutAllocating(F body) {
  return Capture([&] {
    bool result = false;
    EXPECT_EQ(AllocationsIn([&] { result = body(); }), 0);
    return result;
  });
}

std::string RowName(const FailureRow &row) {
  static const char *const kKinds[] = {"fail",    "short",    "long",
                                       "timeout", "waitfail", "overlapped"};
  return std::string(row.stage == Stage::Write ? "write " : "read ") +
         kKinds[static_cast<int>(row.kind) - 1];
}

class Transport : public testing::Test {
 protected:
  void SetUp() override {
    fake::Reset();
    fake::FakeDevice scanner = Attached(0);
    scanner.readiness = {6};
    scanner.burn = {7};
    fake::AddDevice(scanner);
    device_ = OpenDevice("\\\\.\\usbscan0");
    ASSERT_NE(device_, INVALID_HANDLE_VALUE);
    fake::S().calls.clear();
  }

  fake::FakeDevice &Scanner() { return *fake::Device(0); }

  void AddFault(Phase phase, int occurrence, Stage stage, FaultKind kind) {
    Scanner().faults.push_back(fake::Fault{phase, occurrence, stage, kind});
  }

  // One exchange of a readiness query: its result and output.
  std::pair<bool, std::string> Exchange(ResponseBlock *response) {
    return Capture([&] {
      return ExchangeCommand(device_, ReadinessQuery(), response, Lang());
    });
  }
  std::pair<bool, std::string> Bulk(const uint8_t *data, uint32_t length) {
    return Capture(
        [&] { return WriteBulkData(device_, data, length, Lang()); });
  }

  // Announces a bulk write as the update does (a download exchange, which
  // prints nothing when it succeeds), then forgets the record.
  void ArmBulk(uint32_t length) {
    ResponseBlock response;
    ASSERT_TRUE(
        ExchangeCommand(device_, FirmwareDownload(length), &response, Lang()));
    fake::S().calls.clear();
  }

  void ExpectDeviceStillUsable() {
    EXPECT_EQ(fake::OpenHandles(HandleKind::Device), 1);
    ResponseBlock response;
    EXPECT_EQ(Exchange(&response), Gives(true));
    EXPECT_EQ(fake::CallsNamed("WriteFile").back().bytes.size(), 16u);
  }

  // Each failure of an exchange (or of a bulk write) in each language: its
  // message and calls, its event closed, and the device usable after it.
  void ExpectEachFailure(bool bulk) {
    for (const FailureRow &row : kFailures) {
      if (bulk && row.stage != Stage::Write) continue;
      for (uint16_t langId : {0x0409, 0x0404, 0x0804}) {
        SCOPED_TRACE(RowName(row) + " lang " + std::to_string(langId));
        SetUp();
        if (bulk) ArmBulk(4096);
        fake::S().langId = langId;
        AddFault(bulk ? Phase::Bulk : Phase::Readiness, 1, row.stage, row.kind);
        const uint32_t tickBefore = fake::S().tick;
        std::vector<uint8_t> data(4096, 0x42);
        ResponseBlock response;
        EXPECT_EQ(bulk ? Bulk(data.data(), 4096) : Exchange(&response),
                  Gives(false, Text(row.message, LanguageFromLangId(langId))));
        EXPECT_EQ(fake::CallNames(), CallsMaking(row.steps));
        if (bulk) {
          EXPECT_EQ(fake::CallsNamed("ReadFile").size(), 0u);
        } else {
          if (row.kind == FaultKind::WaitTimeout) {
            EXPECT_EQ(fake::S().tick - tickBefore, 1000u);  // waited its bound
          }
          EXPECT_EQ(fake::HandlesCreated(HandleKind::Event), 1);
        }
        EXPECT_EQ(fake::OpenHandles(HandleKind::Event), 0);
        EXPECT_EQ(fake::S().badCloses, 0);
        fake::S().langId = 0x0409;
        ExpectDeviceStillUsable();
      }
    }
  }

  DeviceHandle device_ = INVALID_HANDLE_VALUE;
};

// ---------------------------------------------------------------- open/close

TEST_F(Transport, OpenDevicePassesTheDriversValues) {
  fake::Reset();
  fake::AddDevice(Attached(7));
  DeviceHandle h = OpenDevice("\\\\.\\usbscan7");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  ASSERT_EQ(fake::CallNames(), Names({"CreateFileA"}));
  const Call &c = fake::S().calls[0];
  ExpectArgs(c, {{"name", "\\\\.\\usbscan7"},
                 {"access", "0xc0000000"},
                 {"share", "3"},
                 {"security", "0x0"},
                 {"disposition", "3"},
                 {"flags", "0x4"},  // no FILE_FLAG_OVERLAPPED
                 {"template", "0x0"}});
  EXPECT_EQ(fake::FindHandle(h)->tag, 7);
}

TEST_F(Transport, OpenDeviceOfAMissingNameYieldsInvalid) {
  EXPECT_EQ(OpenDevice("\\\\.\\usbscan1"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(fake::HandlesCreated(HandleKind::Device), 1);  // SetUp's only
}

TEST_F(Transport, CloseDeviceClosesTheHandleOnceAndOfNullMakesNoCall) {
  CloseDevice(nullptr);
  EXPECT_TRUE(fake::S().calls.empty());
  CloseDevice(device_);
  ASSERT_EQ(fake::CallNames(), Names({"CloseHandle"}));
  EXPECT_EQ(Arg(fake::S().calls[0], "handle"), Ptr(device_));
  EXPECT_EQ(fake::OpenHandles(HandleKind::Device), 0);
  EXPECT_EQ(fake::S().badCloses, 0);
}

// ---------------------------------------------------------------- descriptor

TEST_F(Transport, DescriptorQueryValuesAndResult) {
  Scanner().vendor = 0x1234;
  Scanner().product = 0xABCD;
  Scanner().release = 0x0203;
  Scanner().language = 0x0409;
  DEVICE_DESCRIPTOR d;
  std::memset(&d, 0xEE, sizeof(d));
  EXPECT_EQ(Capture([&] { return QueryDeviceDescriptor(device_, &d); }),
            Gives(true));
  EXPECT_EQ(d.usVendorId, 0x1234);
  EXPECT_EQ(d.usProductId, 0xABCD);
  EXPECT_EQ(d.usBcdDevice, 0x0203);
  EXPECT_EQ(d.usLanguageId, 0x0409);
  ASSERT_EQ(fake::CallNames(), Names({"DeviceIoControl"}));
  const Call &c = fake::S().calls[0];
  ExpectArgs(c, {{"handle", Ptr(device_)},
                 {"code", "0x80002018"},
                 {"in", Ptr(&d)},
                 {"out", Ptr(&d)},
                 {"inSize", "8"},
                 {"outSize", "8"},
                 {"overlapped", "0x0"}});
  EXPECT_NE(Arg(c, "returned"), "0x0");
  EXPECT_EQ(fake::OpenHandles(HandleKind::Device), 1);
}

TEST_F(Transport, DescriptorFilledShortStillSucceedsAndTheRestIsZero) {
  const struct {
    uint32_t bytes;
    uint16_t vendor, product;
  } kFills[] = {{4, 0x3A7C, 0x4E21}, {0, 0, 0}};
  for (const auto &fill : kFills) {
    Scanner().descriptorBytes = fill.bytes;
    DEVICE_DESCRIPTOR d;
    std::memset(&d, 0xEE, sizeof(d));
    EXPECT_TRUE(QueryDeviceDescriptor(device_, &d));
    EXPECT_EQ(d.usVendorId, fill.vendor);
    EXPECT_EQ(d.usProductId, fill.product);
    EXPECT_EQ(d.usBcdDevice, 0);
    EXPECT_EQ(d.usLanguageId, 0);
  }
}

TEST_F(Transport, DescriptorFailureIsSilentAndLeavesTheHandleOpen) {
  Scanner().descriptorFails = true;
  DEVICE_DESCRIPTOR d;
  EXPECT_EQ(Capture([&] { return QueryDeviceDescriptor(device_, &d); }),
            Gives(false));
  EXPECT_EQ(fake::CallNames(), Names({"DeviceIoControl"}));
  EXPECT_EQ(fake::OpenHandles(HandleKind::Device), 1);
}

// ---------------------------------------------------------------- exchange

TEST_F(Transport, ExchangeMakesExactlyTheseCallsInThisOrder) {
  const CommandBlock command = ReadinessQuery();
  ResponseBlock response{};
  EXPECT_EQ(Capture([&] {
              return ExchangeCommand(device_, command, &response, Lang());
            }),
            Gives(true));
  ASSERT_EQ(fake::CallNames(), CallsMaking(6));
  const std::vector<Call> &c = fake::S().calls;
  ExpectArgs(c[0], {{"security", "0x0"},
                    {"manualReset", "0"},
                    {"initialState", "0"},
                    {"name", "(null)"}});
  // The event the calls name is the one event created, and it is an event.
  const std::string event = Arg(c[1], "event");
  ASSERT_NE(event, "0x0");
  const fake::HandleInfo *info = fake::FindHandle(reinterpret_cast<void *>(
      static_cast<uintptr_t>(std::stoull(event, nullptr, 16))));
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(info->kind, HandleKind::Event);

  // The write: the command block itself, 16 bytes, a zeroed record that
  // carries the event.
  const Call &write = c[1];
  EXPECT_EQ(write.buffer, command.bytes);
  EXPECT_EQ(write.length, 16u);
  EXPECT_EQ(write.bytes,
            std::vector<uint8_t>(command.bytes, command.bytes + 16));
  EXPECT_NE(Arg(write, "count"), "0x0");
  EXPECT_NE(Arg(write, "overlapped"), "0x0");
  ExpectArgs(write, {{"handle", Ptr(device_)},
                     {"event", event},
                     {"offset", "0"},
                     {"offsetHigh", "0"},
                     {"internal", "0x0"},
                     {"internalHigh", "0"}});

  for (int i : {2, 5}) ExpectArgs(c[i], {{"handle", event}, {"ms", "1000"}});
  for (int i : {3, 6}) {
    ExpectArgs(c[i], {{"handle", Ptr(device_)},
                      {"overlapped", Arg(write, "overlapped")},
                      {"wait", "1"}});
    EXPECT_NE(Arg(c[i], "transferred"), "0x0");
  }

  // The read: the response block, 32 bytes, the same record and event.
  const Call &read = c[4];
  EXPECT_EQ(read.buffer, response.bytes);
  EXPECT_EQ(read.length, 32u);
  ExpectArgs(read, {{"handle", Ptr(device_)},
                    {"overlapped", Arg(write, "overlapped")},
                    {"event", event}});
  ExpectArgs(c[7], {{"handle", event}, {"kind", "event"}});

  EXPECT_EQ(fake::HandlesCreated(HandleKind::Event), 1);
  EXPECT_EQ(fake::OpenHandles(HandleKind::Event), 0);
  EXPECT_EQ(fake::OpenHandles(HandleKind::Device), 1);
  EXPECT_EQ(fake::S().badCloses, 0);
}

TEST_F(Transport, ExchangeSendsTheCommandAndFillsTheWholeResponse) {
  const CommandBlock command = BurnStatusQuery();
  ResponseBlock response{};
  ASSERT_TRUE(Exchange(&response).first);  // readiness: answers 6
  EXPECT_EQ(DeviceStatus(response), 6);
  for (int i = 0; i < 32; ++i) {
    if (i != 4 && i != 5) {
      EXPECT_NE(response.bytes[i], 0) << "byte " << i;
    }
  }
  ASSERT_TRUE(ExchangeCommand(device_, command, &response, Lang()));
  EXPECT_EQ(DeviceStatus(response), 7);
  const std::vector<fake::Received> &got = fake::ReceivedBy(0);
  ASSERT_EQ(got.size(), 2u);
  const CommandBlock readiness = ReadinessQuery();
  EXPECT_EQ(got[0].bytes,
            std::vector<uint8_t>(readiness.bytes, readiness.bytes + 16));
  EXPECT_EQ(got[1].bytes,
            std::vector<uint8_t>(command.bytes, command.bytes + 16));
}

// ---------------------------------------------------------------- failures

TEST_F(Transport, EveryExchangeFailureRow) { ExpectEachFailure(false); }

TEST_F(Transport, EveryBulkFailureRow) { ExpectEachFailure(true); }

// A write of fifteen bytes reads nothing.
TEST_F(Transport, ShortWriteOrReadIsAMismatch) {
  for (Stage stage : {Stage::Write, Stage::Read}) {
    SetUp();
    AddFault(Phase::Readiness, 1, stage, FaultKind::ShortCount);
    ResponseBlock response;
    EXPECT_EQ(Exchange(&response), Gives(false, Text(MsgUsbSizeMismatch, 0)));
    EXPECT_EQ(fake::CallsNamed("ReadFile").empty(), stage == Stage::Write);
  }
}

TEST_F(Transport, EventCreationFailureIsSilent) {
  fake::SetEventCreationFails(true);
  ResponseBlock response;
  std::memset(response.bytes, 0x77, sizeof(response.bytes));
  EXPECT_EQ(Exchange(&response), Gives(false));
  std::vector<uint8_t> data(64, 1);
  EXPECT_EQ(Bulk(data.data(), 64), Gives(false));
  EXPECT_EQ(fake::CallNames(), Names({"CreateEventA", "CreateEventA"}));
  EXPECT_EQ(response.bytes[0], 0x77);
  fake::SetEventCreationFails(false);
  ExpectDeviceStillUsable();
}

TEST_F(Transport, NullOrInvalidHandleDoesNothing) {
  for (DeviceHandle bad :
       {static_cast<HANDLE>(nullptr), INVALID_HANDLE_VALUE}) {
    SCOPED_TRACE(Ptr(bad));
    fake::S().calls.clear();
    ResponseBlock response;
    std::memset(response.bytes, 0x5C, sizeof(response.bytes));
    std::vector<uint8_t> data(16, 0x11);
    EXPECT_EQ(Capture([&] {
                return ExchangeCommand(bad, ReadinessQuery(), &response,
                                       Lang());
              }),
              Gives(false));
    EXPECT_EQ(
        Capture([&] { return WriteBulkData(bad, data.data(), 16, Lang()); }),
        Gives(false));
    EXPECT_TRUE(fake::CallNames().empty());
    EXPECT_EQ(fake::HandlesCreated(HandleKind::Event), 0);
    for (uint8_t b : response.bytes) ASSERT_EQ(b, 0x5C);
    EXPECT_TRUE(fake::ReceivedBy(0).empty());
  }
}

TEST_F(Transport, MessagesFollowTheLanguageOfEachCall) {
  AddFault(Phase::Readiness, 0, Stage::Write, FaultKind::RequestFails);
  ResponseBlock response;
  fake::S().langId = 0x0404;
  EXPECT_EQ(Exchange(&response).second,
            Hex("BC 67 A4 4A 55 53 42 BF F9 BB 7E 21 21 0A 0A"));
  fake::S().langId = 0x0804;
  EXPECT_EQ(Exchange(&response).second, "Write to USB error!!\n\n");
  fake::S().langId = 0x0C04;
  EXPECT_EQ(Exchange(&response).second, "Write to USB error!!\n\n");
  fake::S().langId = 0x0404;
  EXPECT_EQ(Exchange(&response).second, Text(MsgUsbWriteError, 1));
}

// ---------------------------------------------------------------- bulk

// The shipped image's length, and zero, which is one request too.
TEST_F(Transport, BulkIsOneRequestOfTheCallersBufferAndAllocatesNothing) {
  for (uint32_t length : {26214400u, 0u}) {
    SCOPED_TRACE(length);
    SetUp();
    std::vector<uint8_t> image(length ? length : 1, 0x5A);
    ArmBulk(length);
    EXPECT_EQ(WithoutAllocating([&] {
                return WriteBulkData(device_, image.data(), length, Lang());
              }),
              Gives(true));
    ASSERT_EQ(fake::CallNames(), CallsMaking(3));
    const std::vector<Call> writes = fake::CallsNamed("WriteFile");
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].buffer, image.data());
    EXPECT_EQ(writes[0].length, length);
    ExpectArgs(
        writes[0],
        {{"handle", Ptr(device_)}, {"offset", "0"}, {"internal", "0x0"}});
    EXPECT_EQ(Arg(fake::S().calls[2], "ms"), "1000");
    EXPECT_EQ(Arg(fake::S().calls[3], "wait"), "1");
    const fake::Received &last = fake::ReceivedBy(0).back();
    EXPECT_EQ(last.kind, fake::Received::Bulk);
    EXPECT_EQ(last.buffer, image.data());
    EXPECT_EQ(last.length, length);
    EXPECT_EQ(fake::OpenHandles(HandleKind::Event), 0);
  }
}

TEST_F(Transport, TheAllocationCounterSeesAnAllocation) {
  EXPECT_EQ(AllocationsIn([] {
              int *volatile probe = new int(1);
              delete probe;
            }),
            1);
}

TEST_F(Transport, ExchangesAllocateNothingWhetherTheyWorkOrFail) {
  ResponseBlock response;
  const CommandBlock command = ReadinessQuery();
  EXPECT_EQ(WithoutAllocating([&] {
              return ExchangeCommand(device_, command, &response, Lang());
            }),
            Gives(true));
  AddFault(Phase::Readiness, 0, Stage::Read, FaultKind::ShortCount);
  EXPECT_EQ(WithoutAllocating([&] {
              return ExchangeCommand(device_, command, &response, Lang()) ||
                     ExchangeCommand(nullptr, command, &response, Lang());
            }),
            Gives(false, Text(MsgUsbSizeMismatch, 0)));
}

TEST_F(Transport, BulkThatMovesFewerBytesIsAMismatch) {
  ArmBulk(1000);
  AddFault(Phase::Bulk, 1, Stage::Write, FaultKind::ShortCount);
  std::vector<uint8_t> data(1000, 3);
  EXPECT_EQ(Bulk(data.data(), 1000), Gives(false, Text(MsgUsbSizeMismatch, 0)));
}

// ---------------------------------------------------------------- balance

TEST_F(Transport, TenThousandFailingCallsOfEachKindLeaveNoEventOpen) {
  const int kCalls = 10000;
  for (bool bulk : {false, true}) {
    for (const FailureRow &row : kFailures) {
      if (bulk && row.stage != Stage::Write) continue;
      SCOPED_TRACE((bulk ? "bulk " : "") + RowName(row));
      SetUp();
      AddFault(bulk ? Phase::Bulk : Phase::Readiness, 0, row.stage, row.kind);
      ResponseBlock response;
      const CommandBlock command = ReadinessQuery();
      uint8_t data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
      int failures = 0;
      std::string out = CaptureOutput([&] {
        for (int i = 0; i < kCalls; ++i) {
          if (bulk) ArmBulk(8);
          if (!(bulk ? WriteBulkData(device_, data, 8, Lang())
                     : ExchangeCommand(device_, command, &response, Lang())))
            ++failures;
        }
      });
      EXPECT_EQ(failures, kCalls);
      EXPECT_EQ(out.size(), kCalls * Text(row.message, 0).size());
      EXPECT_EQ(fake::HandlesCreated(HandleKind::Event),
                (bulk ? 2 : 1) * kCalls);
      EXPECT_EQ(fake::OpenHandles(HandleKind::Event), 0);
      EXPECT_EQ(fake::S().badCloses, 0);
    }
  }
  {
    SCOPED_TRACE("event cannot be created");
    SetUp();
    fake::SetEventCreationFails(true);
    ResponseBlock response;
    for (int i = 0; i < kCalls; ++i) {
      EXPECT_FALSE(
          ExchangeCommand(device_, ReadinessQuery(), &response, Lang()));
    }
    EXPECT_EQ(fake::HandlesCreated(HandleKind::Event), 0);
  }
}

// ---------------------------------------------------------------- the fake

// The simulated scanner answers by the command it received, in order, and a
// fault hits only the exchange it names; the scenarios rely on both.
TEST_F(Transport, SimulatedScannerFollowsTheConversation) {
  Scanner().readiness = {5, 7, 0};
  Scanner().download = 0xFFFF;
  Scanner().burn = {7, 6};
  Scanner().requestMs = 3;
  AddFault(Phase::Readiness, 2, Stage::Read, FaultKind::RequestFails);
  ResponseBlock r;
  auto exchange = [&](const CommandBlock &c) {
    return ExchangeCommand(device_, c, &r, Lang()) ? DeviceStatus(r) : -1;
  };
  std::string out = CaptureOutput([&] {
    EXPECT_EQ(exchange(ReadinessQuery()), 5);
    EXPECT_EQ(exchange(ReadinessQuery()), -1);  // the second one fails
    EXPECT_EQ(exchange(ReadinessQuery()), 7);
    EXPECT_EQ(exchange(ReadinessQuery()), 0);
    EXPECT_EQ(exchange(ReadinessQuery()), 0);  // the last answer repeats
    EXPECT_EQ(exchange(FirmwareDownload(4)), 0xFFFF);
    const uint8_t data[4] = {1, 2, 3, 4};
    EXPECT_TRUE(WriteBulkData(device_, data, 4, Lang()));
    EXPECT_EQ(exchange(BurnStatusQuery()), 7);
    EXPECT_EQ(exchange(BurnStatusQuery()), 6);
    EXPECT_EQ(exchange(BurnStatusQuery()), 6);
    CommandBlock unknown = ReadinessQuery();
    unknown.bytes[4] = 0x55;
    EXPECT_EQ(exchange(unknown), fake::kUnknownCommandStatus);
  });
  EXPECT_EQ(out, Text(MsgUsbReadError, 0));
  // Two requests per exchange, one for the bulk write, 3 ms each.
  EXPECT_EQ(fake::S().tick, (10 * 2 + 1) * 3u);
  const std::vector<fake::Received> &got = fake::ReceivedBy(0);
  ASSERT_EQ(got.size(), 11u);
  EXPECT_EQ(got[6].kind, fake::Received::Bulk);
  EXPECT_EQ(got[6].length, 4u);
  EXPECT_TRUE(got[6].bytes.empty());  // bulk data are not copied
}

}  // namespace
