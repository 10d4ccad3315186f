// The fixed texts the windows show in every language (the string table holds the translated
// ones). The front end recognises message boxes by these texts too.
#pragma once

#include <string_view>

namespace tr350::text {

inline constexpr std::u16string_view kAppTitleFormatHead = u"TR350 Card Reader FW Update Tool_v.";
inline constexpr std::u16string_view kAppTitleFormatTail = u"_170522";
inline constexpr std::u16string_view kAboutMenuItem = u"&About TR350 Card Reader FW Update Tool";
inline constexpr std::u16string_view kAboutTitle = u"About TR350 Card Reader FW Update Tool";
inline constexpr std::u16string_view kAboutVersionHead = u"FW Update Tool for TR350 Card Reader ";
inline constexpr std::u16string_view kToolName = u"TR350 Card Reader FW Update Tool";

// The scan and the verdict.
inline constexpr std::u16string_view kNoDevice = u"No device!";
inline constexpr std::u16string_view kLoadSnfFailed = u"Load SNF failed!";
inline constexpr std::u16string_view kChipIsNew = u"The chip is new.";
inline constexpr std::u16string_view kReadDeviceNg = u"Read device NG";
inline constexpr std::u16string_view kPlugAgain = u"Please plug the device again.";
inline constexpr std::u16string_view kDeviceNotFound = u"Device is not found";
inline constexpr std::u16string_view kFwVersionError = u"FW version error";
inline constexpr std::u16string_view kErrorCaption = u"Error";
inline constexpr std::u16string_view kFwIsLatest = u"FW is latest.";
inline constexpr std::u16string_view kFwIsNotLatest = u"FW is not latest.";
inline constexpr std::u16string_view kReaderInUse =
    u"The reader is in use by another program.\r\nPlease try again when it has finished.";
inline constexpr std::u16string_view kCheckNotStarted = u"The firmware check could not be started.";

// The update.
inline constexpr std::u16string_view kUpdateNg = u"NG";
inline constexpr std::u16string_view kStatusError = u"Error";
// Shown instead of closing the window while an update writes.
inline constexpr std::u16string_view kUpdateRunning =
    u"The firmware update is running.\r\nPlease wait until it has finished, and do not unplug "
    u"the device.";

}  // namespace tr350::text
