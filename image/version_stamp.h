// Version stamps inside the firmware code: a product marker followed by '_'-separated fields, of
// which the date and the time (or revision) make the 12-digit version.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "image/firmware_image.h"

namespace tr350 {

inline constexpr std::string_view kFw1Marker = "USB 3.0 SD Card Reader";
inline constexpr std::string_view kFw2Marker = "Lightning SD Card Reader";
inline constexpr std::size_t kFw1WindowSize = 52;
inline constexpr std::size_t kFw2WindowSize = 68;

// The version of FW1 (which = 1) or FW2 (which = 2); empty when none is found or `which` is
// neither. Stores the section length it used into fw1Size or fw2Size.
std::u16string GetFirmwareVersion(int which, FirmwareImage& image);

// Searches `section` (null: false) for `marker` (null: false) and copies window.size() bytes from
// the first match into `window`. Bytes past the end of the section are copied as zeros.
bool FindMarker(std::span<const std::uint8_t> section, std::string_view marker,
                std::span<std::uint8_t> window);

// With exactly five `separator`-separated fields: the 4th followed by the 5th, cut to 12
// characters. Otherwise empty.
std::u16string SplitVersionMarker(std::u16string_view text, char16_t separator);

}  // namespace tr350
