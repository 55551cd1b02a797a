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
#include <vector>

#include "app/discovery.h"

namespace {

using linux_usb::AttachedWithNumber;
using linux_usb::CandidateIndexFromName;
using linux_usb::CandidateKey;
using linux_usb::NumberAttached;
using linux_usb::Numbering;
using linux_usb::TransferTimeoutMs;
using linux_usb::UsbPlace;

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

UsbPlace Place(uint8_t bus, uint8_t address, uint8_t port, uint8_t port2 = 0) {
  UsbPlace place{};
  place.bus = bus;
  place.address = address;
  place.ports[0] = port;
  place.ports[1] = port2;
  place.depth = port2 != 0 ? 2 : 1;
  return place;
}

// One look at the attached devices, in the order libusb lists them, and
// the position among them of the device each number 0, 1, ... stands for
// (-1: none).
struct NumberingLook {
  std::vector<UsbPlace> attached;
  std::vector<int> numbered;
};

TEST(Numbering, FixedForTheRunFromTheFirstLook) {
  EXPECT_LT(CandidateKey(1, 127), CandidateKey(2, 1));
  EXPECT_LT(CandidateKey(3, 4), CandidateKey(3, 5));
  const NumberingLook looks[] = {
      // The first look numbers by bus, then address.
      {{Place(2, 3, 1), Place(1, 9, 1, 2), Place(1, 4, 1, 3), Place(3, 1, 4)},
       {2, 1, 0, 3, -1}},
      // Bus 1 address 4 back at address 12 on the same port: a new number, no
      // other number moves; its old number has no device.
      {{Place(3, 1, 4), Place(1, 12, 1, 3), Place(2, 3, 1), Place(1, 9, 1, 2)},
       {-1, 3, 2, 0, 1, -1}},
      // Address 4 again on another port is not the device once there.
      {{Place(1, 4, 1, 5), Place(1, 12, 1, 3)}, {-1, -1, -1, -1, 1, 0, -1}},
      // Newcomers seen together: by bus, then address.
      {{Place(2, 9, 2), Place(1, 20, 1, 1), Place(1, 4, 1, 5)},
       {-1, -1, -1, -1, -1, 2, 1, 0, -1}},
  };
  static Numbering numbering;
  int step = 0;
  for (const NumberingLook &look : looks) {
    NumberAttached(&numbering, look.attached.data(), look.attached.size());
    for (size_t n = 0; n < look.numbered.size(); ++n)
      EXPECT_EQ(AttachedWithNumber(numbering, static_cast<int>(n),
                                   look.attached.data(), look.attached.size()),
                look.numbered[n])
          << "look " << step << ", number " << n;
    ++step;
  }
  EXPECT_EQ(AttachedWithNumber(numbering, -1, nullptr, 0), -1);
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
