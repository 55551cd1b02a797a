// The usage and version texts. The Chinese ones are their code page 950
// (Big5) bytes, written out unchanged, as the catalogue's are; each line's
// characters stand in the comment above it. Option names are as typed.
#include "messages/usage.h"

namespace {

// clang-format off
const char kUsageEnglish[] =
    "Usage: scanfw [-a | -b N] [--device NAME | --all] [--exit-code] [--verbose]\n"
    "              [--log FILE] [--allow-older] [--allow-reinstall]\n"
    "              [--one-at-a-time]\n"
    "       scanfw --check [--device NAME] [--log FILE]\n"
    "       scanfw --list | --version | --help\n"
    "\n"
    "Without options, scanfw updates the firmware of the first attached scanner.\n"
    "\n"
    "Options:\n"
    "  -a             set the option value shown first to 1\n"
    "  -b N           set the option value shown first to N\n"
    "  --device NAME  update only the device NAME as --list shows it\n"
    "                 (\\\\.\\usbscan3, or 3)\n"
    "  --all          update every attached scanner, side by side\n"
    "  --one-at-a-time\n"
    "                 with --all: one scanner after another\n"
    "  --exit-code    end with an exit code that tells the outcome (below)\n"
    "  --verbose      also log every step to standard error, for support\n"
    "  --log FILE     append a record of the run to FILE\n"
    "  --allow-older  also update a scanner whose firmware is newer than this one\n"
    "  --allow-reinstall\n"
    "                 also update a scanner that already runs this firmware\n"
    "  --check        tell whether each scanner runs this firmware; updates nothing\n"
    "  --list         list the attached still-image devices; updates nothing\n"
    "  --version      show the version and the carried image; updates nothing\n"
    "  --help         show this text (also -h, -? or /?); updates nothing\n"
    "\n"
    "Exit codes with --exit-code: 0 update done or already current,\n"
    "1 no scanner found, 2 firmware image unavailable, 3 scanner not ready,\n"
    "4 image not sent, 5 burn failed, 6 cancelled by the user,\n"
    "7 wrong command line or log file, 10 scanner firmware newer than this one.\n"
    "Without --exit-code always 0. --check always: 0 every scanner current or\n"
    "newer, 1 no scanner found, 7 wrong command line or log file, 8 a scanner\n"
    "needs this firmware, 9 release unknown.\n";

const char kUsageTraditionalChinese[] =
    // 用法: scanfw [-a | -b N] [--device NAME | --all] [--exit-code] [--verbose]
    "\xA5\xCE\xAA\x6B: scanfw [-a | -b N] [--device NAME | --all] [--exit-code] [--verbose]\n"
    //              [--log FILE] [--allow-older] [--allow-reinstall]
    "             [--log FILE] [--allow-older] [--allow-reinstall]\n"
    //              [--one-at-a-time]
    "             [--one-at-a-time]\n"
    //       scanfw --check [--device NAME] [--log FILE]
    "      scanfw --check [--device NAME] [--log FILE]\n"
    //       scanfw --list | --version | --help
    "      scanfw --list | --version | --help\n"
    //
    "\n"
    // 不加選項時，scanfw 更新第一台連接的掃描器的韌體。
    "\xA4\xA3\xA5\x5B\xBF\xEF\xB6\xB5\xAE\xC9\xA1\x41scanfw \xA7\xF3\xB7\x73\xB2\xC4\xA4\x40\xA5\x78\xB3\x73\xB1\xB5\xAA\xBA\xB1\xBD\xB4\x79\xBE\xB9\xAA\xBA\xB6\xB4\xC5\xE9\xA1\x43\n"
    //
    "\n"
    // 選項:
    "\xBF\xEF\xB6\xB5:\n"
    //   -a             將最先顯示的選項值設為 1
    "  -a             \xB1\x4E\xB3\xCC\xA5\xFD\xC5\xE3\xA5\xDC\xAA\xBA\xBF\xEF\xB6\xB5\xAD\xC8\xB3\x5D\xAC\xB0 1\n"
    //   -b N           將最先顯示的選項值設為 N
    "  -b N           \xB1\x4E\xB3\xCC\xA5\xFD\xC5\xE3\xA5\xDC\xAA\xBA\xBF\xEF\xB6\xB5\xAD\xC8\xB3\x5D\xAC\xB0 N\n"
    //   --device NAME  只更新 --list 所列名為 NAME 的裝置
    "  --device NAME  \xA5\x75\xA7\xF3\xB7\x73 --list \xA9\xD2\xA6\x43\xA6\x57\xAC\xB0 NAME \xAA\xBA\xB8\xCB\xB8\x6D\n"
    //                  (\\.\usbscan3 或 3)
    "                 (\\\\.\\usbscan3 \xA9\xCE 3)\n"
    //   --all          同時更新所有連接的掃描器
    "  --all          \xA6\x50\xAE\xC9\xA7\xF3\xB7\x73\xA9\xD2\xA6\xB3\xB3\x73\xB1\xB5\xAA\xBA\xB1\xBD\xB4\x79\xBE\xB9\n"
    //   --one-at-a-time
    "  --one-at-a-time\n"
    //                  搭配 --all: 逐一更新掃描器
    "                 \xB7\x66\xB0\x74 --all: \xB3\x76\xA4\x40\xA7\xF3\xB7\x73\xB1\xBD\xB4\x79\xBE\xB9\n"
    //   --exit-code    以結束代碼表示結果 (見下)
    "  --exit-code    \xA5\x48\xB5\xB2\xA7\xF4\xA5\x4E\xBD\x58\xAA\xED\xA5\xDC\xB5\xB2\xAA\x47 (\xA8\xA3\xA4\x55)\n"
    //   --verbose      另將每個步驟的記錄寫到標準錯誤輸出，供技術支援使用
    "  --verbose      \xA5\x74\xB1\x4E\xA8\x43\xAD\xD3\xA8\x42\xC6\x4A\xAA\xBA\xB0\x4F\xBF\xFD\xBC\x67\xA8\xEC\xBC\xD0\xB7\xC7\xBF\xF9\xBB\x7E\xBF\xE9\xA5\x58\xA1\x41\xA8\xD1\xA7\xDE\xB3\x4E\xA4\xE4\xB4\xA9\xA8\xCF\xA5\xCE\n"
    //   --log FILE     將本次執行的記錄附加到 FILE
    "  --log FILE     \xB1\x4E\xA5\xBB\xA6\xB8\xB0\xF5\xA6\xE6\xAA\xBA\xB0\x4F\xBF\xFD\xAA\xFE\xA5\x5B\xA8\xEC FILE\n"
    //   --allow-older  也更新韌體比此韌體還新的掃描器
    "  --allow-older  \xA4\x5D\xA7\xF3\xB7\x73\xB6\xB4\xC5\xE9\xA4\xF1\xA6\xB9\xB6\xB4\xC5\xE9\xC1\xD9\xB7\x73\xAA\xBA\xB1\xBD\xB4\x79\xBE\xB9\n"
    //   --allow-reinstall
    "  --allow-reinstall\n"
    //                  也更新已是此韌體的掃描器
    "                 \xA4\x5D\xA7\xF3\xB7\x73\xA4\x77\xAC\x4F\xA6\xB9\xB6\xB4\xC5\xE9\xAA\xBA\xB1\xBD\xB4\x79\xBE\xB9\n"
    //   --check        檢查每台掃描器是否已是此韌體，不更新韌體
    "  --check        \xC0\xCB\xAC\x64\xA8\x43\xA5\x78\xB1\xBD\xB4\x79\xBE\xB9\xAC\x4F\xA7\x5F\xA4\x77\xAC\x4F\xA6\xB9\xB6\xB4\xC5\xE9\xA1\x41\xA4\xA3\xA7\xF3\xB7\x73\xB6\xB4\xC5\xE9\n"
    //   --list         列出連接的影像裝置，不更新韌體
    "  --list         \xA6\x43\xA5\x58\xB3\x73\xB1\xB5\xAA\xBA\xBC\x76\xB9\xB3\xB8\xCB\xB8\x6D\xA1\x41\xA4\xA3\xA7\xF3\xB7\x73\xB6\xB4\xC5\xE9\n"
    //   --version      顯示版本和內含的韌體映像，不更新韌體
    "  --version      \xC5\xE3\xA5\xDC\xAA\xA9\xA5\xBB\xA9\x4D\xA4\xBA\xA7\x74\xAA\xBA\xB6\xB4\xC5\xE9\xAC\x4D\xB9\xB3\xA1\x41\xA4\xA3\xA7\xF3\xB7\x73\xB6\xB4\xC5\xE9\n"
    //   --help         顯示本說明 (也可用 -h、-? 或 /?)，不更新韌體
    "  --help         \xC5\xE3\xA5\xDC\xA5\xBB\xBB\xA1\xA9\xFA (\xA4\x5D\xA5\x69\xA5\xCE -h\xA1\x42-? \xA9\xCE /?)\xA1\x41\xA4\xA3\xA7\xF3\xB7\x73\xB6\xB4\xC5\xE9\n"
    //
    "\n"
    // 使用 --exit-code 時的結束代碼: 0 更新完成或已是最新，1 找不到掃描器，
    "\xA8\xCF\xA5\xCE --exit-code \xAE\xC9\xAA\xBA\xB5\xB2\xA7\xF4\xA5\x4E\xBD\x58: 0 \xA7\xF3\xB7\x73\xA7\xB9\xA6\xA8\xA9\xCE\xA4\x77\xAC\x4F\xB3\xCC\xB7\x73\xA1\x41" "1 \xA7\xE4\xA4\xA3\xA8\xEC\xB1\xBD\xB4\x79\xBE\xB9\xA1\x41\n"
    // 2 無法取得韌體映像，3 掃描器未就緒，4 無法傳送韌體，
    "2 \xB5\x4C\xAA\x6B\xA8\xFA\xB1\x6F\xB6\xB4\xC5\xE9\xAC\x4D\xB9\xB3\xA1\x41" "3 \xB1\xBD\xB4\x79\xBE\xB9\xA5\xBC\xB4\x4E\xBA\xFC\xA1\x41" "4 \xB5\x4C\xAA\x6B\xB6\xC7\xB0\x65\xB6\xB4\xC5\xE9\xA1\x41\n"
    // 5 燒錄失敗，6 使用者取消，7 命令列錯誤或無法開啟記錄檔，
    "5 \xBF\x4E\xBF\xFD\xA5\xA2\xB1\xD1\xA1\x41" "6 \xA8\xCF\xA5\xCE\xAA\xCC\xA8\xFA\xAE\xF8\xA1\x41" "7 \xA9\x52\xA5\x4F\xA6\x43\xBF\xF9\xBB\x7E\xA9\xCE\xB5\x4C\xAA\x6B\xB6\x7D\xB1\xD2\xB0\x4F\xBF\xFD\xC0\xC9\xA1\x41\n"
    // 10 掃描器韌體比此韌體還新。
    "10 \xB1\xBD\xB4\x79\xBE\xB9\xB6\xB4\xC5\xE9\xA4\xF1\xA6\xB9\xB6\xB4\xC5\xE9\xC1\xD9\xB7\x73\xA1\x43\n"
    // 不加 --exit-code 時一律為 0。--check 一律: 0 每台掃描器皆為最新或較新，
    "\xA4\xA3\xA5\x5B --exit-code \xAE\xC9\xA4\x40\xAB\xDF\xAC\xB0 0\xA1\x43--check \xA4\x40\xAB\xDF: 0 \xA8\x43\xA5\x78\xB1\xBD\xB4\x79\xBE\xB9\xAC\xD2\xAC\xB0\xB3\xCC\xB7\x73\xA9\xCE\xB8\xFB\xB7\x73\xA1\x41\n"
    // 1 找不到掃描器，7 命令列錯誤或無法開啟記錄檔，8 有掃描器需要此韌體，
    "1 \xA7\xE4\xA4\xA3\xA8\xEC\xB1\xBD\xB4\x79\xBE\xB9\xA1\x41" "7 \xA9\x52\xA5\x4F\xA6\x43\xBF\xF9\xBB\x7E\xA9\xCE\xB5\x4C\xAA\x6B\xB6\x7D\xB1\xD2\xB0\x4F\xBF\xFD\xC0\xC9\xA1\x41" "8 \xA6\xB3\xB1\xBD\xB4\x79\xBE\xB9\xBB\xDD\xAD\x6E\xA6\xB9\xB6\xB4\xC5\xE9\xA1\x41\n"
    // 9 不知道韌體版本。
    "9 \xA4\xA3\xAA\xBE\xB9\x44\xB6\xB4\xC5\xE9\xAA\xA9\xA5\xBB\xA1\x43\n";

const CommandLineTexts kCommandLineTexts[2] = {
    {"scanfw: --device needs a device name as --list shows it (\\\\.\\usbscan3) or its number (3)\n",
     "scanfw: --log needs the name of a FILE\n",
     "scanfw: --all and --device cannot be given together\n",
     "scanfw: cannot open the log file ", " for appending: ",
     "scanfw: this executable does not know the release of its firmware (it was built without SCANFW_FIRMWARE_RELEASE)\n"},
    {
    // scanfw: --device 需要 --list 所列的裝置名稱 (\\.\usbscan3) 或其編號 (3)
    "scanfw: --device \xBB\xDD\xAD\x6E --list \xA9\xD2\xA6\x43\xAA\xBA\xB8\xCB\xB8\x6D\xA6\x57\xBA\xD9 (\\\\.\\usbscan3) \xA9\xCE\xA8\xE4\xBD\x73\xB8\xB9 (3)\n",
    // scanfw: --log 需要記錄檔的名稱
    "scanfw: --log \xBB\xDD\xAD\x6E\xB0\x4F\xBF\xFD\xC0\xC9\xAA\xBA\xA6\x57\xBA\xD9\n",
    // scanfw: --all 和 --device 不能同時使用
    "scanfw: --all \xA9\x4D --device \xA4\xA3\xAF\xE0\xA6\x50\xAE\xC9\xA8\xCF\xA5\xCE\n",
    // scanfw: 無法開啟記錄檔 
    "scanfw: \xB5\x4C\xAA\x6B\xB6\x7D\xB1\xD2\xB0\x4F\xBF\xFD\xC0\xC9 ",
    //  以附加記錄: 
    " \xA5\x48\xAA\xFE\xA5\x5B\xB0\x4F\xBF\xFD: ",
    // scanfw: 此執行檔不知道所含韌體的版本 (建置時未指定 SCANFW_FIRMWARE_RELEASE)
    "scanfw: \xA6\xB9\xB0\xF5\xA6\xE6\xC0\xC9\xA4\xA3\xAA\xBE\xB9\x44\xA9\xD2\xA7\x74\xB6\xB4\xC5\xE9\xAA\xBA\xAA\xA9\xA5\xBB (\xAB\xD8\xB8\x6D\xAE\xC9\xA5\xBC\xAB\xFC\xA9\x77 SCANFW_FIRMWARE_RELEASE)\n"
    },
};

const VersionTexts kVersionTexts[2] = {
    {"Firmware image: ", " bytes\n",
     "This build carries the generated placeholder image, not firmware:\n"
     "never run it on a real scanner.\n",
     "Firmware release (bcdDevice): "},
    {
     // 韌體映像: 
     "\xB6\xB4\xC5\xE9\xAC\x4D\xB9\xB3: ",
     //  位元組
     " \xA6\xEC\xA4\xB8\xB2\xD5\n",
     // 此版本內含產生的替代映像，不是韌體：
     "\xA6\xB9\xAA\xA9\xA5\xBB\xA4\xBA\xA7\x74\xB2\xA3\xA5\xCD\xAA\xBA\xB4\xC0\xA5\x4E\xAC\x4D\xB9\xB3\xA1\x41\xA4\xA3\xAC\x4F\xB6\xB4\xC5\xE9\xA1\x47\n"
     // 請勿在實際的掃描器上執行。
     "\xBD\xD0\xA4\xC5\xA6\x62\xB9\xEA\xBB\xDA\xAA\xBA\xB1\xBD\xB4\x79\xBE\xB9\xA4\x57\xB0\xF5\xA6\xE6\xA1\x43\n",
     // 韌體版本: 
     "\xB6\xB4\xC5\xE9\xAA\xA9\xA5\xBB: "},
};
// clang-format on

}  // namespace

const char *UsageText(LanguageIndex language) {
  return language == kLanguageTraditionalChinese ? kUsageTraditionalChinese
                                                 : kUsageEnglish;
}

const CommandLineTexts &CommandLineTextsFor(LanguageIndex language) {
  return kCommandLineTexts[language == kLanguageTraditionalChinese ? 1 : 0];
}

const VersionTexts &VersionTextsFor(LanguageIndex language) {
  return kVersionTexts[language == kLanguageTraditionalChinese ? 1 : 0];
}

bool EveryText(LanguageIndex language, bool (*visit)(const char *text)) {
  for (int id = 0; id < kMessageCount; ++id) {
    const char *text = MessageText(id, language);
    if (text != nullptr && !visit(text)) return false;
  }
  const VersionTexts &version = VersionTextsFor(language);
  return visit(UsageText(language)) && visit(version.imageBefore) &&
         visit(version.imageAfter) && visit(version.placeholder);
}
