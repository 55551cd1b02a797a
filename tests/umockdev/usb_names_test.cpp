// The pure rules of the Linux USB backend, and the udev rule that ships
// with it.
#include "platform/linux/usb_names.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "app/discovery.h"

namespace {

using linux_usb::CandidateIndexFromName;
using linux_usb::CandidateKey;
using linux_usb::RankOf;
using linux_usb::TransferTimeoutMs;

TEST(CandidateName, DecimalIndexAfterThePrefix) {
  EXPECT_EQ(CandidateIndexFromName("\\\\.\\usbscan0"), 0);
  EXPECT_EQ(CandidateIndexFromName("\\\\.\\usbscan7"), 7);
  EXPECT_EQ(CandidateIndexFromName("\\\\.\\usbscan255"), 255);
  EXPECT_EQ(CandidateIndexFromName("\\\\.\\usbscan1000"), 1000);
}

TEST(CandidateName, CaseOfTheLettersDoesNotMatter) {
  EXPECT_EQ(CandidateIndexFromName("\\\\.\\USBSCAN3"), 3);
  EXPECT_EQ(CandidateIndexFromName("\\\\.\\UsbScan12"), 12);
}

TEST(CandidateName, OtherFormsAreNoCandidate) {
  const char *const names[] = {
      nullptr,
      "",
      "usbscan0",
      "\\\\.\\usbscan",
      "\\\\.\\usbscan01",
      "\\\\.\\usbscan-1",
      "\\\\.\\usbscan+1",
      "\\\\.\\usbscan1x",
      "\\\\.\\usbscan 1",
      "\\\\?\\usbscan1",
      "\\\\.\\usbscanner1",
      "/dev/bus/usb/001/002",
      "\\\\.\\usbscan9999999999",
  };
  for (const char *name : names) {
    EXPECT_EQ(CandidateIndexFromName(name), -1) << (name ? name : "(null)");
  }
}

TEST(TransferBound, FiveSecondsPlusOnePerMiB) {
  EXPECT_EQ(TransferTimeoutMs(0), 5000u);
  EXPECT_EQ(TransferTimeoutMs(16), 5001u);
  EXPECT_EQ(TransferTimeoutMs(32), 5001u);
  EXPECT_EQ(TransferTimeoutMs(1048576), 6000u);
  EXPECT_EQ(TransferTimeoutMs(26214400), 30000u);
  EXPECT_EQ(TransferTimeoutMs(0xFFFFFFFFull), 5000u + 4096000u);
}

TEST(TransferBound, LeavesRoomForTheImageOnAFullSpeedBus) {
  // 12 Mbit/s full speed moves at most 19 packets of 64 bytes per 1 ms
  // frame in bulk: 1,216,000 bytes a second.
  const double seconds = 26214400.0 / 1216000.0;
  EXPECT_GT(TransferTimeoutMs(26214400) / 1000.0, seconds * 1.3);
}

TEST(Numbering, BusFirstThenAddress) {
  EXPECT_LT(CandidateKey(1, 127), CandidateKey(2, 1));
  EXPECT_LT(CandidateKey(3, 4), CandidateKey(3, 5));
  const uint32_t keys[] = {CandidateKey(2, 3), CandidateKey(1, 9),
                           CandidateKey(1, 4), CandidateKey(3, 1)};
  const uint32_t ranks[] = {2, 1, 0, 3};
  for (int i = 0; i < 4; ++i)
    EXPECT_EQ(RankOf(keys[i], keys, 4), ranks[i]) << i;
}

TEST(UdevRule, MatchesTheScannerThatDiscoveryLooksFor) {
  std::ifstream file(SCANFW_UDEV_RULE);
  ASSERT_TRUE(file.good()) << SCANFW_UDEV_RULE;
  std::stringstream text;
  text << file.rdbuf();
  char vendor[40], product[40];
  std::snprintf(vendor, sizeof vendor, "ATTR{idVendor}==\"%04x\"",
                kTargetVendorId);
  std::snprintf(product, sizeof product, "ATTR{idProduct}==\"%04x\"",
                kTargetProductId);
  const std::string rule = text.str();
  EXPECT_NE(rule.find(vendor), std::string::npos);
  EXPECT_NE(rule.find(product), std::string::npos);
  EXPECT_NE(rule.find("SUBSYSTEM==\"usb\""), std::string::npos);
  EXPECT_NE(rule.find("TAG+=\"uaccess\""), std::string::npos);
}

// The errno names: each value once (aliases such as EWOULDBLOCK left out),
// and every errno usbfs, the device nodes or the system bus give named.
TEST(ErrnoNames, EachValueOnceAndTheKernelsFailuresNamed) {
  const int *values = nullptr;
  size_t count = 0;
  const char *const *names = linux_usb::ErrnoNames(&values, &count);
  ASSERT_GT(count, 0u);
  std::set<int> seen;
  for (size_t i = 0; i < count; ++i) {
    EXPECT_TRUE(seen.insert(values[i]).second) << names[i];
    EXPECT_STREQ(linux_usb::ErrnoName(values[i]), names[i]);
  }
  const struct {
    int value;
    const char *name;
  } met[] = {{EACCES, "EACCES"},
             {ENOENT, "ENOENT"},
             {ENODEV, "ENODEV"},
             {ENOMEM, "ENOMEM"},
             {EPIPE, "EPIPE"},
             {ETIMEDOUT, "ETIMEDOUT"},
             {EBUSY, "EBUSY"},
             {EIO, "EIO"},
             {ESHUTDOWN, "ESHUTDOWN"},
             {EPROTO, "EPROTO"},
             {EOVERFLOW, "EOVERFLOW"},
             {EINTR, "EINTR"},
             {EPERM, "EPERM"},
             {ENXIO, "ENXIO"},
             {EINVAL, "EINVAL"},
             {EAGAIN, "EAGAIN"},
             {EILSEQ, "EILSEQ"},
             {EREMOTEIO, "EREMOTEIO"},
             {ECONNRESET, "ECONNRESET"},
             {EHOSTUNREACH, "EHOSTUNREACH"},
             {ECONNREFUSED, "ECONNREFUSED"},
             {ENOBUFS, "ENOBUFS"}};
  for (const auto &m : met) EXPECT_STREQ(linux_usb::ErrnoName(m.value), m.name);
  EXPECT_EQ(linux_usb::ErrnoName(0), nullptr);
  EXPECT_EQ(linux_usb::ErrnoName(-1), nullptr);
}

}  // namespace
