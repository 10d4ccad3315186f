// The emulator's own catalogue of serial flash chips: for every position that the tool's part
// lookup can end on, at least one chip whose identification answers lead there, plus chips that
// the tool must not recognise.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "emulator/flash_chip.h"

namespace tr350::emulator {

struct CatalogueChip {
  FlashChipTraits traits;
  // The part-table position that the tool's probing (0x9F first, then 0x15, 0x90 and 0xAB, the
  // first recognised answer winning) should end on; none when no answer is recognisable.
  std::optional<std::uint8_t> position;
};

std::span<const CatalogueChip> ChipCatalogue();

// Null when no chip has this name.
const CatalogueChip* FindCatalogueChip(std::string_view name);

// The first chip meant to be identified as `position`; null when there is none.
const CatalogueChip* CatalogueChipForPosition(std::uint8_t position);

}  // namespace tr350::emulator
