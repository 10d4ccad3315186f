// Identifiers of the resources the program carries.
#pragma once

#include <cstdint>

namespace tr350 {

// The firmware image (the "SNF image"): a custom resource, both identifiers numeric.
inline constexpr std::uint16_t kFirmwareResourceType = 132;
inline constexpr std::uint16_t kFirmwareResourceId = 131;

}  // namespace tr350
