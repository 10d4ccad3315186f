// The one home of the program's identifiers: its resources (the firmware image, dialogs, icon,
// strings), controls, timers and menu items, and the error codes the workflows raise (each equal
// to the string identifier whose text gives its meaning). Depends on nothing.
#pragma once

#include <cstdint>

namespace tr350 {

// The firmware image (the "SNF image"): a custom resource, both identifiers numeric.
inline constexpr std::uint16_t kFirmwareResourceType = 132;
inline constexpr std::uint16_t kFirmwareResourceId = 131;

// Dialogs and the icon.
inline constexpr int IDD_ABOUTBOX = 100;
inline constexpr int IDD_UPDATETOOL_DIALOG = 102;
inline constexpr int IDR_MAINFRAME = 120;
inline constexpr int IDD_MESSAGEBOX = 132;

// Controls (besides the dialog framework's IDOK and IDCANCEL, the Exit button).
inline constexpr int IDC_ABOUT_ICON = 1000;
inline constexpr int IDC_ABOUT_VERSION = 1001;
inline constexpr int IDC_STATUS_EDIT = 1004;
inline constexpr int IDC_UPDATE = 1006;
inline constexpr int IDC_PROGRESS = 1007;
inline constexpr int IDC_MESSAGE_EDIT = 1009;
inline constexpr int IDC_RESULT_TEXT = 1010;

// The about box's item of the system menu; its low four bits are free, as the system requires.
inline constexpr std::uint32_t IDM_ABOUTBOX = 0x0010;

// One-shot timers of the main dialog (the handler kills each before acting).
inline constexpr std::uintptr_t IDT_RESCAN = 1025;
inline constexpr std::uintptr_t IDT_SHOW_VERSION = 1026;
inline constexpr std::uint32_t kRescanDelayMs = 500;
inline constexpr std::uint32_t kShowVersionDelayMs = 500;

// Strings the windows show.
inline constexpr int IDS_FW_LATEST = 102;
inline constexpr int IDS_UPDATE_NEEDED = 104;
inline constexpr int IDS_ALREADY_LATEST = 105;
inline constexpr int IDS_DEVICE_NOT_SUPPORTED = 106;
// A blank reader whose backup was found (%s: the backup file), and one without (%s: where
// backups are kept).
inline constexpr int IDS_RECOVERY_OFFERED = 107;
inline constexpr int IDS_NO_BACKUP = 108;
// No reader found, but a disk node (%s) could not be opened for lack of permission.
inline constexpr int IDS_NO_PERMISSION = 109;

// Strings that only give the error codes their meaning; no window shows them.
inline constexpr int IDS_ERR_NO_DEVICE = 288;
inline constexpr int IDS_ERR_ERASE_CHIP = 420;
inline constexpr int IDS_ERR_READ_CONFIG = 442;
inline constexpr int IDS_ERR_EEPROM_READ = 445;
inline constexpr int IDS_ERR_READ_FW = 448;
inline constexpr int IDS_ERR_VERIFY_CONFIG = 483;
inline constexpr int IDS_ERR_WRITE_CONFIG = 514;
inline constexpr int IDS_ERR_CPU_RESET = 526;
inline constexpr int IDS_ERR_NEW_CHIP = 527;
// Refusals that keep a reader from being damaged, and a worker that could not start.
inline constexpr int IDS_ERR_DEVICE_HEADER = 528;
inline constexpr int IDS_ERR_PREPARE_IMAGE = 529;
inline constexpr int IDS_ERR_START_THREAD = 530;
inline constexpr int IDS_ERR_READER_IN_USE = 531;
inline constexpr int IDS_ERR_BACKUP = 532;
inline constexpr int IDS_ERR_STOPPED = 533;

enum class ErrorCode : int {
  kNoDevice = IDS_ERR_NO_DEVICE,
  kEraseChip = IDS_ERR_ERASE_CHIP,
  kReadConfig = IDS_ERR_READ_CONFIG,
  kEepromRead = IDS_ERR_EEPROM_READ,
  kReadFw = IDS_ERR_READ_FW,
  kVerifyConfig = IDS_ERR_VERIFY_CONFIG,
  kWriteConfig = IDS_ERR_WRITE_CONFIG,
  kCpuReset = IDS_ERR_CPU_RESET,
  kNewChip = IDS_ERR_NEW_CHIP,
  // The reader holds no programmed header and none was kept from it: nothing is written.
  kDeviceHeader = IDS_ERR_DEVICE_HEADER,
  // The content to write cannot be assembled (a version field that does not fit): nothing is
  // written.
  kPrepareImage = IDS_ERR_PREPARE_IMAGE,
  kStartThread = IDS_ERR_START_THREAD,
  // Another program (or window) holds the reader's lock: nothing is read or written.
  kReaderInUse = IDS_ERR_READER_IN_USE,
  // The reader's current firmware could not be saved before the update: nothing is written.
  kBackup = IDS_ERR_BACKUP,
  // The program was asked to end before the first write: nothing is written.
  kStopped = IDS_ERR_STOPPED,
};

}  // namespace tr350
