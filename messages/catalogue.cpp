// The catalogue: 40 slots per language, room for ten languages, English and
// Traditional Chinese filled. The Chinese texts are their code page 950
// (Big5) bytes, written out unchanged whatever the console's code page.
#include "messages/messages.h"

namespace {

// One text a line, in id order, so the table reads as the catalogue does.
// clang-format off
const char *const kCatalogue[kMessageSlotsPerLanguage * kCatalogueLanguages] = {
    // English, slots 0 to 39.
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
    nullptr, nullptr, nullptr,
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    // Traditional Chinese, slots 40 to 79.
    /*  0 MsgNoFollowingArgument: 警告 - no following argument!!\n */
    "\xC4\xB5\xA7\x69 - no following argument!!\n",
    /*  1 MsgGetDescriptorError: 獲取設備描述符的錯誤!!\n */
    "\xC0\xF2\xA8\xFA\xB3\x5D\xB3\xC6\xB4\x79\xAD\x7A\xB2\xC5\xAA\xBA\xBF\xF9\xBB\x7E!!\n",
    /*  2 MsgDeviceFound: 設備發現!!\n */
    "\xB3\x5D\xB3\xC6\xB5\x6F\xB2\x7B!!\n",
    /*  3 MsgDeviceNotFound: 設備未找到!!\n結束 程序...\n */
    "\xB3\x5D\xB3\xC6\xA5\xBC\xA7\xE4\xA8\xEC!!\n\xB5\xB2\xA7\xF4 \xB5\x7B\xA7\xC7...\n",
    /*  4 MsgLoadingFirmware: 固件裝載中...\n */
    "\xA9\x54\xA5\xF3\xB8\xCB\xB8\xFC\xA4\xA4...\n",
    /*  5 MsgFindResourceError: 加載固件（查找資源）錯誤!!\n */
    "\xA5\x5B\xB8\xFC\xA9\x54\xA5\xF3\xA1\x5D\xAC\x64\xA7\xE4\xB8\xEA\xB7\xBD\xA1\x5E\xBF\xF9\xBB\x7E!!\n",
    /*  6 MsgLoadResourceError: 加載固件（負載資源）錯誤!!\n */
    "\xA5\x5B\xB8\xFC\xA9\x54\xA5\xF3\xA1\x5D\xAD\x74\xB8\xFC\xB8\xEA\xB7\xBD\xA1\x5E\xBF\xF9\xBB\x7E!!\n",
    /*  7 MsgLockResourceError: 加載固件（鎖定資源）錯誤!!\n */
    "\xA5\x5B\xB8\xFC\xA9\x54\xA5\xF3\xA1\x5D\xC2\xEA\xA9\x77\xB8\xEA\xB7\xBD\xA1\x5E\xBF\xF9\xBB\x7E!!\n",
    /*  8 MsgResourceEmpty: 加載固件（資源長度為零）錯誤!!\n */
    "\xA5\x5B\xB8\xFC\xA9\x54\xA5\xF3\xA1\x5D\xB8\xEA\xB7\xBD\xAA\xF8\xAB\xD7\xAC\xB0\xB9\x73\xA1\x5E\xBF\xF9\xBB\x7E!!\n",
    /*  9 MsgBlankLine: no text of its own */
    "\n",
    /* 10 MsgCheckingFirmware: no text of its own */
    "Checking firmware...\n",
    /* 11 MsgDeviceBusy: 設備忙碌中... 請稍候...\n */
    "\xB3\x5D\xB3\xC6\xA6\xA3\xB8\x4C\xA4\xA4... \xBD\xD0\xB5\x79\xAD\xD4...\n",
    /* 12 MsgStatusCheckError: 檢查設備狀態錯誤!!\n */
    "\xC0\xCB\xAC\x64\xB3\x5D\xB3\xC6\xAA\xAC\xBA\x41\xBF\xF9\xBB\x7E!!\n",
    /* 13 MsgDeviceNotResponding: 設備未得到回覆!!\n */
    "\xB3\x5D\xB3\xC6\xA5\xBC\xB1\x6F\xA8\xEC\xA6\x5E\xC2\xD0!!\n",
    /* 14 MsgSendingFirmware: 發送韌體...\n */
    "\xB5\x6F\xB0\x65\xB6\xB4\xC5\xE9...\n",
    /* 15 MsgSendCommandError: 發送韌體命令錯誤!!\n */
    "\xB5\x6F\xB0\x65\xB6\xB4\xC5\xE9\xA9\x52\xA5\x4F\xBF\xF9\xBB\x7E!!\n",
    /* 16 MsgSendDataError: 發送韌體數據錯誤!!\n */
    "\xB5\x6F\xB0\x65\xB6\xB4\xC5\xE9\xBC\xC6\xBE\xDA\xBF\xF9\xBB\x7E!!\n",
    /* 17 MsgUpgradeWait: 韌體升級，請稍候...\n */
    "\xB6\xB4\xC5\xE9\xA4\xC9\xAF\xC5\xA1\x41\xBD\xD0\xB5\x79\xAD\xD4...\n",
    /* 18 MsgPleaseReboot: 請重啟掃描器...\n */
    "\xBD\xD0\xAD\xAB\xB1\xD2\xB1\xBD\xB4\x79\xBE\xB9...\n",
    /* 19 MsgBurnDone: 升級韌體完畢!!\n */
    "\xA4\xC9\xAF\xC5\xB6\xB4\xC5\xE9\xA7\xB9\xB2\xA6!!\n",
    /* 20 MsgBurnError: 升級韌體錯誤!!\n */
    "\xA4\xC9\xAF\xC5\xB6\xB4\xC5\xE9\xBF\xF9\xBB\x7E!!\n",
    /* 21 MsgUsbTimeout: USB超時錯誤!!\n */
    "USB\xB6\x57\xAE\xC9\xBF\xF9\xBB\x7E!!\n",
    /* 22 MsgUsbOverlappedError: 獲取USB重疊結果錯誤!!\n */
    "\xC0\xF2\xA8\xFAUSB\xAD\xAB\xC5\x7C\xB5\xB2\xAA\x47\xBF\xF9\xBB\x7E!!\n",
    /* 23 MsgUsbWriteError: 寫入USB錯誤!!\n */
    "\xBC\x67\xA4\x4AUSB\xBF\xF9\xBB\x7E!!\n",
    /* 24 MsgUsbReadError: 讀取USB錯誤!!\n */
    "\xC5\xAA\xA8\xFAUSB\xBF\xF9\xBB\x7E!!\n",
    /* 25 MsgUsbSizeMismatch: 請求與並返回USB數據大小不匹配!!\n */
    "\xBD\xD0\xA8\x44\xBB\x50\xA8\xC3\xAA\xF0\xA6\x5EUSB\xBC\xC6\xBE\xDA\xA4\x6A\xA4\x70\xA4\xA3\xA4\xC7\xB0\x74!!\n",
    /* 26 MsgUpdateCancelled: 更新已取消!!\n */
    "\xA7\xF3\xB7\x73\xA4\x77\xA8\xFA\xAE\xF8!!\n",
    /* 27 MsgCannotCancel: 韌體升級中，無法取消，請稍候...\n */
    "\xB6\xB4\xC5\xE9\xA4\xC9\xAF\xC5\xA4\xA4\xA1\x41\xB5\x4C\xAA\x6B\xA8\xFA\xAE\xF8\xA1\x41\xBD\xD0\xB5\x79\xAD\xD4...\n",
    /* 28 MsgPressAnyKey: 請按任意鍵關閉此視窗...\n */
    "\xBD\xD0\xAB\xF6\xA5\xF4\xB7\x4E\xC1\xE4\xC3\xF6\xB3\xAC\xA6\xB9\xB5\xF8\xB5\xA1...\n",
    /* 29 MsgFirmwareNewer: 設備韌體比此次更新還新!!\n */
    "\xB3\x5D\xB3\xC6\xB6\xB4\xC5\xE9\xA4\xF1\xA6\xB9\xA6\xB8\xA7\xF3\xB7\x73\xC1\xD9\xB7\x73!!\n",
    /* 30 MsgFirmwareCurrent: 設備韌體已是最新版本!!\n */
    "\xB3\x5D\xB3\xC6\xB6\xB4\xC5\xE9\xA4\x77\xAC\x4F\xB3\xCC\xB7\x73\xAA\xA9\xA5\xBB!!\n",
    nullptr, nullptr, nullptr,
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    // Slots 80 to 399 stay empty.
};
// clang-format on

}  // namespace

const char *MessageText(int id, int language) {
  if (id < 0 || id >= kMessageCount || language < 0 || language > 1)
    return nullptr;
  return kCatalogue[id + kMessageSlotsPerLanguage * language];
}
