#include "messages/messages.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tests/unit/capture.h"

namespace {

const char *const kEnglish[kMessageCount] = {
    "Warning - no following argument!!\n",
    "Get device descriptor error!!\n",
    "Device found!!\n",
    "Device not found!!\nEnd program...\n",
    "Loading firmware...\n",
    "Loading firmware (find resource) error!!\n",
    "Loading firmware (load resource) error!!\n",
    "Loading firmware (lock resource) error!!\n",
    "Loading firmware (resource length is zero) error!!\n",
    "\n",
    "Checking firmware...\n",
    "Device is busy... Please wait...\n",
    "Check device status error!!\n",
    "Device is not responsed!!\n",
    "Sending firmware...\n",
    "Send FW command error!!\n",
    "Send FW data error!!\n",
    "FW Upgrade! Please wait...\n",
    "Please reboot Scanner... \n",
    "Burning firmware done!!\n",
    "Burning firmware error!!\n",
    "USB timeout error!!\n",
    "Get USB overlapped result error!!\n",
    "Write to USB error!!\n",
    "Read from USB error!!\n",
    "Request and return USB data size not matched!!\n",
    "Update cancelled!!\n",
    "FW Upgrade in progress, cannot cancel... Please wait...\n",
    "Press any key to close this window...\n",
    "Device firmware is newer than this update!!\n",
    "Device firmware is already up to date!!\n",
};

// Code page 950 bytes of the Traditional Chinese texts.
const char *const kChineseHex[kMessageCount] = {
    "c4 b5 a7 69 20 2d 20 6e 6f 20 66 6f 6c 6c 6f 77 69 6e 67 20 61 72 67 75 "
    "6d 65 6e 74 21 21 0a",
    "c0 f2 a8 fa b3 5d b3 c6 b4 79 ad 7a b2 c5 aa ba bf f9 bb 7e 21 21 0a",
    "b3 5d b3 c6 b5 6f b2 7b 21 21 0a",
    "b3 5d b3 c6 a5 bc a7 e4 a8 ec 21 21 0a b5 b2 a7 f4 20 b5 7b a7 c7 2e 2e "
    "2e 0a",
    "a9 54 a5 f3 b8 cb b8 fc a4 a4 2e 2e 2e 0a",
    "a5 5b b8 fc a9 54 a5 f3 a1 5d ac 64 a7 e4 b8 ea b7 bd a1 5e bf f9 bb 7e "
    "21 21 0a",
    "a5 5b b8 fc a9 54 a5 f3 a1 5d ad 74 b8 fc b8 ea b7 bd a1 5e bf f9 bb 7e "
    "21 21 0a",
    "a5 5b b8 fc a9 54 a5 f3 a1 5d c2 ea a9 77 b8 ea b7 bd a1 5e bf f9 bb 7e "
    "21 21 0a",
    "a5 5b b8 fc a9 54 a5 f3 a1 5d b8 ea b7 bd aa f8 ab d7 ac b0 b9 73 a1 5e "
    "bf f9 bb 7e 21 21 0a",
    "0a",
    "43 68 65 63 6b 69 6e 67 20 66 69 72 6d 77 61 72 65 2e 2e 2e 0a",
    "b3 5d b3 c6 a6 a3 b8 4c a4 a4 2e 2e 2e 20 bd d0 b5 79 ad d4 2e 2e 2e 0a",
    "c0 cb ac 64 b3 5d b3 c6 aa ac ba 41 bf f9 bb 7e 21 21 0a",
    "b3 5d b3 c6 a5 bc b1 6f a8 ec a6 5e c2 d0 21 21 0a",
    "b5 6f b0 65 b6 b4 c5 e9 2e 2e 2e 0a",
    "b5 6f b0 65 b6 b4 c5 e9 a9 52 a5 4f bf f9 bb 7e 21 21 0a",
    "b5 6f b0 65 b6 b4 c5 e9 bc c6 be da bf f9 bb 7e 21 21 0a",
    "b6 b4 c5 e9 a4 c9 af c5 a1 41 bd d0 b5 79 ad d4 2e 2e 2e 0a",
    "bd d0 ad ab b1 d2 b1 bd b4 79 be b9 2e 2e 2e 0a",
    "a4 c9 af c5 b6 b4 c5 e9 a7 b9 b2 a6 21 21 0a",
    "a4 c9 af c5 b6 b4 c5 e9 bf f9 bb 7e 21 21 0a",
    "55 53 42 b6 57 ae c9 bf f9 bb 7e 21 21 0a",
    "c0 f2 a8 fa 55 53 42 ad ab c5 7c b5 b2 aa 47 bf f9 bb 7e 21 21 0a",
    "bc 67 a4 4a 55 53 42 bf f9 bb 7e 21 21 0a",
    "c5 aa a8 fa 55 53 42 bf f9 bb 7e 21 21 0a",
    "bd d0 a8 44 bb 50 a8 c3 aa f0 a6 5e 55 53 42 bc c6 be da a4 6a a4 70 a4 "
    "a3 a4 c7 b0 74 21 21 0a",
    "a7 f3 b7 73 a4 77 a8 fa ae f8 21 21 0a",
    "b6 b4 c5 e9 a4 c9 af c5 a4 a4 a1 41 b5 4c aa 6b a8 fa ae f8 a1 41 bd d0 "
    "b5 79 ad d4 2e 2e 2e 0a",
    "bd d0 ab f6 a5 f4 b7 4e c1 e4 c3 f6 b3 ac a6 b9 b5 f8 b5 a1 2e 2e 2e 0a",
    "b3 5d b3 c6 b6 b4 c5 e9 a4 f1 a6 b9 a6 b8 a7 f3 b7 73 c1 d9 b7 73 21 21 "
    "0a",
    "b3 5d b3 c6 b6 b4 c5 e9 a4 77 ac 4f b3 cc b7 73 aa a9 a5 bb 21 21 0a",
};

const size_t kChineseLengths[kMessageCount] = {
    31, 23, 11, 26, 14, 27, 27, 27, 31, 1,  21, 24, 19, 17, 12, 19,
    19, 20, 16, 15, 15, 14, 22, 14, 14, 32, 13, 32, 24, 25, 23};

// Each text in each language, printed with one more line feed, the Chinese
// as its Big5 bytes; and none holds a conversion, which the "%s\n" path
// keeps from being one.
TEST(Catalogue, EveryMessageInEachLanguage) {
  for (int id = 0; id < kMessageCount; ++id) {
    EXPECT_EQ(CaptureOutput([&] { PrintMessage(id, 0); }),
              std::string(kEnglish[id]) + "\n")
        << "id " << id;
    std::string expected = Hex(kChineseHex[id]);
    ASSERT_EQ(expected.size(), kChineseLengths[id]) << "id " << id;
    EXPECT_EQ(CaptureOutput([&] { PrintMessage(id, 1); }), expected + "\n")
        << "id " << id;
    for (int lang = 0; lang < 2; ++lang)
      EXPECT_EQ(std::strchr(MessageText(id, lang), '%'), nullptr);
  }
}

TEST(Catalogue, ChineseHasNoTextOfItsOwnForBlankLineAndChecking) {
  EXPECT_STREQ(MessageText(MsgBlankLine, 1), "\n");
  EXPECT_STREQ(MessageText(MsgCheckingFirmware, 1), "Checking firmware...\n");
  EXPECT_EQ(CaptureOutput([] { PrintMessage(MsgBlankLine, 1); }), "\n\n");
}

TEST(Catalogue, KnownBytesFromTheTable) {
  EXPECT_EQ(CaptureOutput([] { PrintMessage(MsgDeviceFound, 1); }),
            Hex("B3 5D B3 C6 B5 6F B2 7B 21 21 0A 0A"));
  EXPECT_EQ(CaptureOutput([] { PrintMessage(MsgPleaseReboot, 0); }),
            "Please reboot Scanner... \n\n");
  // Full-width parentheses and comma.
  EXPECT_NE(
      std::string(MessageText(MsgFindResourceError, 1)).find(Hex("A1 5D")),
      std::string::npos);
  EXPECT_NE(std::string(MessageText(MsgUpgradeWait, 1)).find(Hex("A1 41")),
            std::string::npos);
}

TEST(Catalogue, OutOfRangeIdsAndLanguagesPrintNothing) {
  for (int id : {-1, 31, 39, 40, 1000}) {
    EXPECT_EQ(CaptureOutput([&] { PrintMessage(id, 0); }), "") << id;
    EXPECT_EQ(MessageText(id, 0), nullptr);
  }
  for (LanguageIndex language : {2, 9, 10, 0xFFFF})
    EXPECT_EQ(CaptureOutput([&] { PrintMessage(MsgDeviceFound, language); }),
              "");
}

TEST(Console, PrintConsoleReturnsTheCharactersProduced) {
  int result = 0;
  EXPECT_EQ(CaptureOutput([&] { result = PrintConsole("%d\n", -5); }), "-5\n");
  EXPECT_EQ(result, 3);
  EXPECT_EQ(CaptureOutput([&] { result = PrintConsole("\n"); }), "\n");
  EXPECT_EQ(result, 1);
  EXPECT_EQ(CaptureOutput([&] {
              PrintConsole("QueryServiceConfig failed (%d)", 5);
              PrintMessage(MsgLoadingFirmware, 0);
            }),
            "QueryServiceConfig failed (5)Loading firmware...\n\n");
}

TEST(Console, FormatToBufferFormatsCandidateNames) {
  char buffer[kFormatBufferSize];
  EXPECT_EQ(FormatToBuffer(buffer, "\\\\.\\usbscan%d", 0), 12);
  EXPECT_STREQ(buffer, "\\\\.\\usbscan0");
  EXPECT_EQ(FormatToBuffer(buffer, "\\\\.\\usbscan%d", 255), 14);
  EXPECT_STREQ(buffer, "\\\\.\\usbscan255");
}

TEST(Console, FormatToBufferRefusesWhatDoesNotFit) {
  char buffer[kFormatBufferSize];
  std::string fits(199, 'x');
  EXPECT_EQ(FormatToBuffer(buffer, "%s", fits.c_str()), 199);
  EXPECT_EQ(std::string(buffer), fits);

  std::string tooLong(200, 'y');
  EXPECT_EQ(FormatToBuffer(buffer, "%s", tooLong.c_str()), -1);
  EXPECT_STREQ(buffer, "");

  std::strcpy(buffer, "stale");
  EXPECT_EQ(FormatToBuffer(buffer, "%s%d", fits.c_str(), 7), -1);
  EXPECT_STREQ(buffer, "");
}

}  // namespace
