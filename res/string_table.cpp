// The string table. The neutral and the Chinese (Traditional) variants hold the same texts; the
// Japanese variant holds English texts except for 104 and 105, and nothing for 106; the English
// variant holds English texts for the four messages the window shows. The error
// texts only give the workflows' error codes their meaning: no window shows them.
#include "res/string_table.h"

#include <array>
#include <string_view>

#include "app/resource.h"

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

constexpr Language kNeutral = Language::kNeutral;
constexpr Language kChinese = Language::kChineseTraditional;
constexpr Language kJapanese = Language::kJapanese;
constexpr Language kEnglish = Language::kEnglish;

// clang-format off
constexpr std::array<ui::StringEntry, 51> kStrings = {{
    // id                        variant    text
    {IDS_FW_LATEST,              kNeutral,  kFwLatest},
    {IDS_UPDATE_NEEDED,          kNeutral,  kUpdateNeeded},
    {IDS_ALREADY_LATEST,         kNeutral,  kAlreadyLatest},
    {IDS_DEVICE_NOT_SUPPORTED,   kNeutral,  kDeviceNotSupported},
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

    {IDS_FW_LATEST,              kChinese,  kFwLatest},
    {IDS_UPDATE_NEEDED,          kChinese,  kUpdateNeeded},
    {IDS_ALREADY_LATEST,         kChinese,  kAlreadyLatest},
    {IDS_DEVICE_NOT_SUPPORTED,   kChinese,  kDeviceNotSupported},
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

    {IDS_FW_LATEST,              kJapanese, kFwLatestJa},
    {IDS_UPDATE_NEEDED,          kJapanese, kUpdateNeededJa},
    {IDS_ALREADY_LATEST,         kJapanese, kAlreadyLatestJa},
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

    {IDS_FW_LATEST,              kEnglish,  kFwLatestEn},
    {IDS_UPDATE_NEEDED,          kEnglish,  kUpdateNeededEn},
    {IDS_ALREADY_LATEST,         kEnglish,  kAlreadyLatestEn},
    {IDS_DEVICE_NOT_SUPPORTED,   kEnglish,  kDeviceNotSupportedEn},
}};
// clang-format on

}  // namespace

std::span<const ui::StringEntry> StringTable() {
  return kStrings;
}

}  // namespace tr350::res
