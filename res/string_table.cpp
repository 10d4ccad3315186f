// The string table. The neutral and the Chinese (Traditional) variants hold the same texts; the
// Japanese variant holds English texts except for 104, 105 and 107-109, and nothing for 106; the
// English variant holds English texts for the messages the window shows. The error
// texts only give the workflows' error codes their meaning: no window shows them.
#include "res/string_table.h"

#include <array>
#include <string_view>

#include "ids/resource_ids.h"

namespace tr350::res {
namespace {

using ui::Language;

constexpr std::u16string_view kFwLatest = u"韌體為最新版本";
constexpr std::u16string_view kUpdateNeeded =
    u"裝置中為較舊的韌體版本, 請執行韌體更新\r\n更新過程中請勿從電腦拔除裝置";
constexpr std::u16string_view kAlreadyLatest = u"裝置中的韌體已經是最新版本";
constexpr std::u16string_view kDeviceNotSupported = u"裝置無法使用此韌體更新工具";

constexpr std::u16string_view kFwLatestJa = u"FW is latest.";
constexpr std::u16string_view kUpdateNeededJa =
    u"デバイスのファームウェアは古いバージョンです。ファームウェアを更新してください。\r\n"
    u"更新中はデバイスをコンピューターから取り外さないでください。\r\n"
    u"取り外すと更新に失敗する場合があります。";
constexpr std::u16string_view kAlreadyLatestJa =
    u"デバイスのファームウェアはすでに最新バージョンです。";

// English texts for English locales; the other ids fall back to the neutral variant.
constexpr std::u16string_view kFwLatestEn = u"FW is latest.";
constexpr std::u16string_view kUpdateNeededEn =
    u"The device holds an older firmware version. Please run the firmware update.\r\n"
    u"Do not unplug the device from the computer during the update.";
constexpr std::u16string_view kAlreadyLatestEn =
    u"The device's firmware is already the latest version.";
constexpr std::u16string_view kDeviceNotSupportedEn =
    u"This device cannot be used with this firmware update tool.";

// A reader left blank by an interrupted update.
constexpr std::u16string_view kRecoveryOffered =
    u"裝置中的韌體不完整: 先前的韌體更新已中斷。\r\n已找到此裝置的韌體備份 %s, "
    u"請執行韌體更新以修復裝置";
constexpr std::u16string_view kNoBackup = u"裝置中沒有韌體, 在 %s 中也找不到此裝置的韌體備份";
constexpr std::u16string_view kRecoveryOfferedJa =
    u"デバイスのファームウェアが不完全です。以前の更新が中断されました。\r\n"
    u"このデバイスのバックアップ %s が見つかりました。ファームウェアを更新して修復してください。";
constexpr std::u16string_view kNoBackupJa =
    u"デバイスにファームウェアがありません。%s にこのデバイスのバックアップが見つかりません。";
constexpr std::u16string_view kRecoveryOfferedEn =
    u"The device's firmware is incomplete: an earlier update was interrupted.\r\n"
    u"A backup of this device's firmware was found (%s). Please run the firmware update to "
    u"repair the device.";
constexpr std::u16string_view kNoBackupEn =
    u"The device holds no firmware, and no backup of it was found in %s.";

// No reader found, but a disk node could not be opened: the user lacks the permission.
constexpr std::u16string_view kNoPermission =
    u"找不到裝置, 但無法開啟 %s: 權限不足。\r\n"
    u"請安裝 udev 規則 70-tr350-fwupdate.rules 後重新插入裝置, 或以 root 身分執行本工具";
constexpr std::u16string_view kNoPermissionJa =
    u"デバイスが見つかりません。%s を開けませんでした: アクセス権がありません。\r\n"
    u"udev ルール 70-tr350-fwupdate.rules をインストールしてデバイスを接続し直すか、"
    u"root として実行してください。";
constexpr std::u16string_view kNoPermissionEn =
    u"No reader found, but %s could not be opened: permission denied.\r\n"
    u"Install the udev rule 70-tr350-fwupdate.rules and plug the reader in again, or run the "
    u"tool as root.";

// Error texts, the same in every variant.
constexpr std::u16string_view kErrNoDevice = u"Can't Find the device!\nPlease Check the device.";
constexpr std::u16string_view kErrEraseChip = u"Erase chip error!!!";
constexpr std::u16string_view kErrReadConfig = u"Read configure error!!!";
constexpr std::u16string_view kErrEepromRead = u"EEPROM read failure!";
constexpr std::u16string_view kErrReadFw = u"Read FW error!!!";
constexpr std::u16string_view kErrVerifyConfig = u"Verify configure error!!!";
constexpr std::u16string_view kErrWriteConfig = u"Write configure error!!!";
constexpr std::u16string_view kErrCpuReset = u"Force CPU reset error!!!";
constexpr std::u16string_view kErrNewChip = u"New Chip.";
constexpr std::u16string_view kErrDeviceHeader = u"Device header error!!!";
constexpr std::u16string_view kErrPrepareImage = u"Prepare FW image error!!!";
constexpr std::u16string_view kErrStartThread = u"Start thread error!!!";
constexpr std::u16string_view kErrReaderInUse = u"The reader is in use by another program.";
constexpr std::u16string_view kErrBackup = u"The reader's firmware could not be backed up.";
constexpr std::u16string_view kErrStopped = u"Stopped before anything was written.";

constexpr Language kNeutral = Language::kNeutral;
constexpr Language kChinese = Language::kChineseTraditional;
constexpr Language kJapanese = Language::kJapanese;
constexpr Language kEnglish = Language::kEnglish;

// clang-format off
constexpr std::array<ui::StringEntry, 72> kStrings = {{
    // id                        variant    text
    {IDS_FW_LATEST,              kNeutral,  kFwLatest},
    {IDS_UPDATE_NEEDED,          kNeutral,  kUpdateNeeded},
    {IDS_ALREADY_LATEST,         kNeutral,  kAlreadyLatest},
    {IDS_DEVICE_NOT_SUPPORTED,   kNeutral,  kDeviceNotSupported},
    {IDS_RECOVERY_OFFERED,       kNeutral,  kRecoveryOffered},
    {IDS_NO_BACKUP,              kNeutral,  kNoBackup},
    {IDS_NO_PERMISSION,          kNeutral,  kNoPermission},
    {IDS_ERR_NO_DEVICE,          kNeutral,  kErrNoDevice},
    {IDS_ERR_ERASE_CHIP,         kNeutral,  kErrEraseChip},
    {IDS_ERR_READ_CONFIG,        kNeutral,  kErrReadConfig},
    {IDS_ERR_EEPROM_READ,        kNeutral,  kErrEepromRead},
    {IDS_ERR_READ_FW,            kNeutral,  kErrReadFw},
    {IDS_ERR_VERIFY_CONFIG,      kNeutral,  kErrVerifyConfig},
    {IDS_ERR_WRITE_CONFIG,       kNeutral,  kErrWriteConfig},
    {IDS_ERR_CPU_RESET,          kNeutral,  kErrCpuReset},
    {IDS_ERR_NEW_CHIP,           kNeutral,  kErrNewChip},
    {IDS_ERR_DEVICE_HEADER,      kNeutral,  kErrDeviceHeader},
    {IDS_ERR_PREPARE_IMAGE,      kNeutral,  kErrPrepareImage},
    {IDS_ERR_START_THREAD,       kNeutral,  kErrStartThread},
    {IDS_ERR_READER_IN_USE,      kNeutral,  kErrReaderInUse},
    {IDS_ERR_BACKUP,             kNeutral,  kErrBackup},
    {IDS_ERR_STOPPED,            kNeutral,  kErrStopped},

    {IDS_FW_LATEST,              kChinese,  kFwLatest},
    {IDS_UPDATE_NEEDED,          kChinese,  kUpdateNeeded},
    {IDS_ALREADY_LATEST,         kChinese,  kAlreadyLatest},
    {IDS_DEVICE_NOT_SUPPORTED,   kChinese,  kDeviceNotSupported},
    {IDS_RECOVERY_OFFERED,       kChinese,  kRecoveryOffered},
    {IDS_NO_BACKUP,              kChinese,  kNoBackup},
    {IDS_NO_PERMISSION,          kChinese,  kNoPermission},
    {IDS_ERR_NO_DEVICE,          kChinese,  kErrNoDevice},
    {IDS_ERR_ERASE_CHIP,         kChinese,  kErrEraseChip},
    {IDS_ERR_READ_CONFIG,        kChinese,  kErrReadConfig},
    {IDS_ERR_EEPROM_READ,        kChinese,  kErrEepromRead},
    {IDS_ERR_READ_FW,            kChinese,  kErrReadFw},
    {IDS_ERR_VERIFY_CONFIG,      kChinese,  kErrVerifyConfig},
    {IDS_ERR_WRITE_CONFIG,       kChinese,  kErrWriteConfig},
    {IDS_ERR_CPU_RESET,          kChinese,  kErrCpuReset},
    {IDS_ERR_NEW_CHIP,           kChinese,  kErrNewChip},
    {IDS_ERR_DEVICE_HEADER,      kChinese,  kErrDeviceHeader},
    {IDS_ERR_PREPARE_IMAGE,      kChinese,  kErrPrepareImage},
    {IDS_ERR_START_THREAD,       kChinese,  kErrStartThread},
    {IDS_ERR_READER_IN_USE,      kChinese,  kErrReaderInUse},
    {IDS_ERR_BACKUP,             kChinese,  kErrBackup},
    {IDS_ERR_STOPPED,            kChinese,  kErrStopped},

    {IDS_FW_LATEST,              kJapanese, kFwLatestJa},
    {IDS_UPDATE_NEEDED,          kJapanese, kUpdateNeededJa},
    {IDS_ALREADY_LATEST,         kJapanese, kAlreadyLatestJa},
    {IDS_RECOVERY_OFFERED,       kJapanese, kRecoveryOfferedJa},
    {IDS_NO_BACKUP,              kJapanese, kNoBackupJa},
    {IDS_NO_PERMISSION,          kJapanese, kNoPermissionJa},
    {IDS_ERR_NO_DEVICE,          kJapanese, kErrNoDevice},
    {IDS_ERR_ERASE_CHIP,         kJapanese, kErrEraseChip},
    {IDS_ERR_READ_CONFIG,        kJapanese, kErrReadConfig},
    {IDS_ERR_EEPROM_READ,        kJapanese, kErrEepromRead},
    {IDS_ERR_READ_FW,            kJapanese, kErrReadFw},
    {IDS_ERR_VERIFY_CONFIG,      kJapanese, kErrVerifyConfig},
    {IDS_ERR_WRITE_CONFIG,       kJapanese, kErrWriteConfig},
    {IDS_ERR_CPU_RESET,          kJapanese, kErrCpuReset},
    {IDS_ERR_NEW_CHIP,           kJapanese, kErrNewChip},
    {IDS_ERR_DEVICE_HEADER,      kJapanese, kErrDeviceHeader},
    {IDS_ERR_PREPARE_IMAGE,      kJapanese, kErrPrepareImage},
    {IDS_ERR_START_THREAD,       kJapanese, kErrStartThread},
    {IDS_ERR_READER_IN_USE,      kJapanese, kErrReaderInUse},
    {IDS_ERR_BACKUP,             kJapanese, kErrBackup},
    {IDS_ERR_STOPPED,            kJapanese, kErrStopped},

    {IDS_FW_LATEST,              kEnglish,  kFwLatestEn},
    {IDS_UPDATE_NEEDED,          kEnglish,  kUpdateNeededEn},
    {IDS_ALREADY_LATEST,         kEnglish,  kAlreadyLatestEn},
    {IDS_DEVICE_NOT_SUPPORTED,   kEnglish,  kDeviceNotSupportedEn},
    {IDS_RECOVERY_OFFERED,       kEnglish,  kRecoveryOfferedEn},
    {IDS_NO_BACKUP,              kEnglish,  kNoBackupEn},
    {IDS_NO_PERMISSION,          kEnglish,  kNoPermissionEn},
}};
// clang-format on

}  // namespace

std::span<const ui::StringEntry> StringTable() {
  return kStrings;
}

}  // namespace tr350::res
