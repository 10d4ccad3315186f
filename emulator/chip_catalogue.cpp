// The chip catalogue. Manufacturer and device codes are chosen so that the tool's lookup rules
// lead each chip to its position; the traits (page size, status width, prefix, protect bits,
// erase opcode) are what a chip at that position has, so that the tool's whole update sequence
// works on it. A chip meant to be found through 0x15, 0x90 or 0xAB ignores the commands probed
// before (0x9F, then 0x15, then 0x90), since the first recognised answer ends the probing.
#include "emulator/chip_catalogue.h"

#include <algorithm>
#include <array>

namespace tr350::emulator {
namespace {

constexpr std::array<std::uint8_t, 2> kEraseC7 = {0xC7, 0x60};
constexpr std::array<std::uint8_t, 2> kErase60 = {0x60, 0xC7};
constexpr std::array<std::uint8_t, 2> kErase62 = {0x62, 0x00};  // only the 0x62 form

struct Traits {
  std::uint32_t capacityKiB = 512;
  std::uint16_t pageSize = 256;
  std::uint8_t statusWidth = 1;
  bool prefix = false;
  std::uint8_t protectBits = 0x0C;
  std::array<std::uint8_t, 2> erase = kEraseC7;
  std::uint32_t eraseMs = 1000;
  std::uint32_t programUs = 700;
  std::uint32_t writeStatusUs = 8000;
};

// position -1: not recognisable.
constexpr CatalogueChip Chip(std::string_view name, ChipIdentity identity, Traits t, int position) {
  CatalogueChip chip{};
  chip.traits.name = name;
  chip.traits.capacity = t.capacityKiB * 1024;
  chip.traits.pageSize = t.pageSize;
  chip.traits.statusWidth = t.statusWidth;
  chip.traits.needsWriteStatusPrefix = t.prefix;
  chip.traits.protectBits = t.protectBits;
  chip.traits.eraseOpcodes = t.erase;
  chip.traits.eraseMs = t.eraseMs;
  chip.traits.programUs = t.programUs;
  chip.traits.writeStatusUs = t.writeStatusUs;
  chip.traits.identity = identity;
  if (position >= 0) chip.position = static_cast<std::uint8_t>(position);
  return chip;
}

// Naming: manufacturer code, then the identifying bytes; "-90", "-ab" or "-15" when the chip is
// found through that command alone.
constexpr std::array kCatalogue = {
    // Manufacturer 0xC2.
    Chip("c2-2016", {.jedec = Id(0xC2, 0x20, 0x16)}, {.capacityKiB = 4096, .eraseMs = 2500}, 1),
    // Its 0x90 answer alone would give another position, but 0x9F is probed first.
    Chip("c2-2016-with-90-10",
         {.jedec = Id(0xC2, 0x20, 0x16), .manufacturerDevice = Id(0xC2, 0x10)},
         {.capacityKiB = 4096, .eraseMs = 2500}, 1),
    Chip("c2-10-90", {.manufacturerDevice = Id(0xC2, 0x10)}, {.erase = kErase60, .eraseMs = 700},
         3),
    Chip("c2-2211", {.jedec = Id(0xC2, 0x22, 0x11)},
         {.capacityKiB = 256, .pageSize = 32, .erase = kErase60, .eraseMs = 1200}, 6),
    Chip("c2-16-90", {.manufacturerDevice = Id(0xC2, 0x16)},
         {.capacityKiB = 4096, .protectBits = 0x3C, .erase = kErase60, .eraseMs = 7000}, 7),
    Chip("c2-19-90", {.manufacturerDevice = Id(0xC2, 0x19)},
         {.capacityKiB = 2048, .protectBits = 0x3C, .erase = kErase60, .eraseMs = 8000}, 9),
    Chip("c2-05-90", {.manufacturerDevice = Id(0xC2, 0x05)}, {.erase = kErase60, .eraseMs = 350},
         10),
    Chip("c2-17-90", {.manufacturerDevice = Id(0xC2, 0x17)},
         {.capacityKiB = 8192, .protectBits = 0x3C, .erase = kErase60, .eraseMs = 9500}, 11),
    Chip("c2-2012", {.jedec = Id(0xC2, 0x20, 0x12)},
         {.capacityKiB = 256, .protectBits = 0x3C, .erase = kErase60, .eraseMs = 1600}, 12),
    Chip("c2-2311", {.jedec = Id(0xC2, 0x23, 0x11)},
         {.statusWidth = 2, .protectBits = 0x3C, .erase = kErase60, .eraseMs = 650}, 13),

    // Manufacturer 0x1F.
    Chip("1f-4401", {.jedec = Id(0x1F, 0x44, 0x01)}, {.erase = kErase62, .eraseMs = 1000}, 14),
    Chip("1f-60-15", {.productId = Id(0x1F, 0x60)}, {.capacityKiB = 256, .erase = kErase62}, 14),
    Chip("1f-47-90", {.manufacturerDevice = Id(0x1F, 0x47)}, {.erase = kErase62}, 14),
    Chip("1f-65-15", {.productId = Id(0x1F, 0x65)},
         {.capacityKiB = 256, .pageSize = 128, .erase = kErase62, .eraseMs = 900}, 17),
    Chip("1f-4700", {.jedec = Id(0x1F, 0x47, 0x00)},
         {.capacityKiB = 4096,
          .protectBits = 0x3C,
          .erase = kErase60,
          .eraseMs = 8000,
          .writeStatusUs = 3000},
         18),
    Chip("1f-47-15", {.productId = Id(0x1F, 0x47)},
         {.protectBits = 0x3C, .erase = kErase60, .eraseMs = 8000, .writeStatusUs = 3000}, 18),
    Chip("1f-8701", {.jedec = Id(0x1F, 0x87, 0x01)},
         {.capacityKiB = 2048, .protectBits = 0x3C, .eraseMs = 4500}, 19),

    // Manufacturer 0x1C.
    Chip("1c-3114", {.jedec = Id(0x1C, 0x31, 0x14)}, {.capacityKiB = 1024, .eraseMs = 900}, 20),
    Chip("1c-2010", {.jedec = Id(0x1C, 0x20, 0x10)}, {.eraseMs = 800}, 21),
    Chip("1c-05-90", {.manufacturerDevice = Id(0x1C, 0x05)}, {.eraseMs = 800}, 21),
    Chip("1c-7015", {.jedec = Id(0x1C, 0x70, 0x15)}, {.capacityKiB = 2048, .eraseMs = 5000}, 22),
    Chip("1c-14-90", {.manufacturerDevice = Id(0x1C, 0x14)}, {.eraseMs = 5000}, 22),

    // Manufacturer 0x8C.
    Chip("8c-2015", {.jedec = Id(0x8C, 0x20, 0x15)},
         {.capacityKiB = 2048, .erase = kErase60, .eraseMs = 900, .programUs = 1500}, 23),
    Chip("8c-12-90", {.manufacturerDevice = Id(0x8C, 0x12)},
         {.erase = kErase60, .eraseMs = 900, .programUs = 1500}, 23),
    Chip("8c-3011", {.jedec = Id(0x8C, 0x30, 0x11)},
         {.erase = kErase60, .eraseMs = 900, .programUs = 1500}, 24),

    // Manufacturer 0x20.
    Chip("20-2014", {.jedec = Id(0x20, 0x20, 0x14)}, {.capacityKiB = 1024, .eraseMs = 800}, 25),
    Chip("20-2010", {.jedec = Id(0x20, 0x20, 0x10)}, {.eraseMs = 700}, 26),
    Chip("20-2011", {.jedec = Id(0x20, 0x20, 0x11)}, {.eraseMs = 1500}, 27),

    // Manufacturer 0xBF: these take a status write only right after the 0x50 prefix.
    Chip("bf-49-90", {.manufacturerDevice = Id(0xBF, 0x49)},
         {.prefix = true, .erase = kErase60, .eraseMs = 80}, 28),
    Chip("bf-2526-03-90", {.manufacturerDevice = Id(0xBF, 0x25, 0x26, 0x03)},
         {.prefix = true, .erase = kErase60, .eraseMs = 80}, 28),
    Chip("bf-2548", {.jedec = Id(0xBF, 0x25, 0x48)},
         {.prefix = true, .erase = kErase60, .eraseMs = 70}, 29),
    Chip("bf-254b", {.jedec = Id(0xBF, 0x25, 0x4B)},
         {.prefix = true, .protectBits = 0x3C, .erase = kErase60, .eraseMs = 45, .programUs = 1500},
         30),
    // Found only through a 0x90 answer whose third and fourth bytes carry 0x26 and 1; the chip
    // has no status write and no block-protect bits.
    Chip("bf-2526-01-90", {.manufacturerDevice = Id(0xBF, 0x25, 0x26, 0x01)},
         {.statusWidth = 0, .protectBits = 0x00, .eraseMs = 40}, 31),

    // Manufacturer 0xE0: two status bytes, no prefix.
    Chip("e0-4014", {.jedec = Id(0xE0, 0x40, 0x14)},
         {.capacityKiB = 1024, .statusWidth = 2, .protectBits = 0x1C, .eraseMs = 3500}, 33),
    Chip("e0-4013", {.jedec = Id(0xE0, 0x40, 0x13)},
         {.statusWidth = 2, .protectBits = 0x1C, .eraseMs = 3500}, 34),
    Chip("e0-4013-ab", {.signature = Id(0xE0, 0x40, 0x13)},
         {.statusWidth = 2, .protectBits = 0x1C, .eraseMs = 3500}, 34),

    // Manufacturer 0x9D: the 0xAB answer is manufacturer then device.
    Chip("9d-46-ab", {.signature = Id(0x9D, 0x46)},
         {.protectBits = 0x1C, .eraseMs = 60, .programUs = 1500}, 35),
    Chip("9d-10-ab", {.signature = Id(0x9D, 0x10)},
         {.capacityKiB = 256, .protectBits = 0x1C, .eraseMs = 60, .programUs = 1500}, 36),
    Chip("9d-11-ab", {.signature = Id(0x9D, 0x11)},
         {.capacityKiB = 256, .protectBits = 0x1C, .eraseMs = 60, .programUs = 1500}, 37),
    Chip("9d-7b-ab", {.signature = Id(0x9D, 0x7B)},
         {.protectBits = 0x1C, .eraseMs = 100, .programUs = 1500}, 38),
    Chip("9d-7c-ab", {.signature = Id(0x9D, 0x7C)},
         {.protectBits = 0x1C, .eraseMs = 100, .programUs = 1500}, 39),
    Chip("9d-407c", {.jedec = Id(0x9D, 0x40, 0x7C)},
         {.protectBits = 0x1C, .eraseMs = 100, .programUs = 1500}, 39),
    Chip("9d-7d-ab", {.signature = Id(0x9D, 0x7D)},
         {.protectBits = 0x1C, .eraseMs = 100, .programUs = 1500}, 40),
    Chip("9d-7e-ab", {.signature = Id(0x9D, 0x7E)},
         {.protectBits = 0x1C, .eraseMs = 100, .programUs = 1500}, 41),
    Chip("9d-02-ab", {.signature = Id(0x9D, 0x02)},
         {.protectBits = 0x1C, .eraseMs = 20, .programUs = 1500, .writeStatusUs = 2000}, 42),
    Chip("9d-6021", {.jedec = Id(0x9D, 0x60, 0x21)},
         {.protectBits = 0x1C, .eraseMs = 350, .programUs = 1500, .writeStatusUs = 2000}, 43),
    Chip("9d-6042", {.jedec = Id(0x9D, 0x60, 0x42)},
         {.protectBits = 0x1C, .eraseMs = 600, .programUs = 1500, .writeStatusUs = 2000}, 44),

    // Manufacturer 0xC8: two status bytes except at position 52.
    Chip("c8-4014", {.jedec = Id(0xC8, 0x40, 0x14)},
         {.capacityKiB = 1024, .statusWidth = 2, .protectBits = 0x7C, .eraseMs = 900}, 45),
    Chip("c8-4013", {.jedec = Id(0xC8, 0x40, 0x13)},
         {.statusWidth = 2, .protectBits = 0x7C, .eraseMs = 2500}, 46),
    Chip("c8-12-90", {.manufacturerDevice = Id(0xC8, 0x12)},
         {.statusWidth = 2, .protectBits = 0x7C, .eraseMs = 2500}, 46),
    Chip("c8-4012", {.jedec = Id(0xC8, 0x40, 0x12)},
         {.capacityKiB = 256, .statusWidth = 2, .protectBits = 0x7C, .eraseMs = 1800}, 47),
    Chip("c8-4011", {.jedec = Id(0xC8, 0x40, 0x11)},
         {.capacityKiB = 256, .statusWidth = 2, .protectBits = 0x7C, .eraseMs = 900}, 48),
    Chip("c8-4010", {.jedec = Id(0xC8, 0x40, 0x10)},
         {.capacityKiB = 256, .statusWidth = 2, .protectBits = 0x7C, .eraseMs = 450}, 49),
    Chip("c8-4015", {.jedec = Id(0xC8, 0x40, 0x15)},
         {.capacityKiB = 2048,
          .statusWidth = 2,
          .protectBits = 0x7C,
          .eraseMs = 4000,
          .writeStatusUs = 2000},
         50),
    Chip("c8-4018", {.jedec = Id(0xC8, 0x40, 0x18)},
         {.capacityKiB = 16384, .protectBits = 0x7C, .eraseMs = 4500}, 52),
    Chip("c8-17-90", {.manufacturerDevice = Id(0xC8, 0x17)},
         {.capacityKiB = 8192, .protectBits = 0x7C, .eraseMs = 4500}, 52),

    // Manufacturer 0xA1.
    Chip("a1-2814", {.jedec = Id(0xA1, 0x28, 0x14)},
         {.protectBits = 0x0C, .erase = kErase60, .eraseMs = 1200, .programUs = 1500}, 53),
    Chip("a1-3111", {.jedec = Id(0xA1, 0x31, 0x11)},
         {.erase = kErase60, .eraseMs = 1200, .programUs = 1500}, 54),
    Chip("a1-3111-ab", {.signature = Id(0xA1, 0x31, 0x11)},
         {.erase = kErase60, .eraseMs = 1200, .programUs = 1500}, 54),
    Chip("a1-3110", {.jedec = Id(0xA1, 0x31, 0x10)},
         {.erase = kErase60, .eraseMs = 600, .programUs = 1500}, 55),

    // Manufacturer 0x37: two status bytes.
    Chip("37-3013", {.jedec = Id(0x37, 0x30, 0x13)},
         {.statusWidth = 2,
          .protectBits = 0x1C,
          .erase = kErase60,
          .eraseMs = 5000,
          .programUs = 1500},
         56),
    Chip("37-3016", {.jedec = Id(0x37, 0x30, 0x16)},
         {.capacityKiB = 4096,
          .statusWidth = 2,
          .protectBits = 0x1C,
          .eraseMs = 5000,
          .programUs = 1500},
         57),
    Chip("37-15-90", {.manufacturerDevice = Id(0x37, 0x15)},
         {.statusWidth = 2, .protectBits = 0x1C, .eraseMs = 5000, .programUs = 1500}, 57),

    // Manufacturer 0xEF.
    Chip("ef-4016", {.jedec = Id(0xEF, 0x40, 0x16)},
         {.capacityKiB = 4096, .protectBits = 0x1C, .erase = kErase60, .eraseMs = 900}, 58),
    // Answers all three commands, as most chips do; 0x9F decides.
    Chip("ef-4018",
         {.jedec = Id(0xEF, 0x40, 0x18),
          .manufacturerDevice = Id(0xEF, 0x17),
          .signature = Id(0x17)},
         {.capacityKiB = 16384, .protectBits = 0x1C, .eraseMs = 6000}, 59),
    Chip("ef-17-90", {.manufacturerDevice = Id(0xEF, 0x17)},
         {.capacityKiB = 8192, .protectBits = 0x1C, .eraseMs = 6000}, 59),
    Chip("ef-3013", {.jedec = Id(0xEF, 0x30, 0x13)}, {.protectBits = 0x1C, .eraseMs = 800}, 60),
    Chip("ef-12-ab", {.signature = Id(0xEF, 0x12)}, {.protectBits = 0x1C, .eraseMs = 800}, 60),

    // Chips the tool must not recognise.
    Chip("silent", {}, {}, -1),
    Chip("7f-everywhere",
         {.jedec = Id(0x7F, 0x7F, 0x7F),
          .manufacturerDevice = Id(0x7F, 0x7F),
          .signature = Id(0x7F),
          .productId = Id(0x7F, 0x7F)},
         {}, -1),
    Chip("01-0215", {.jedec = Id(0x01, 0x02, 0x15), .manufacturerDevice = Id(0x01, 0x14)}, {}, -1),
};

}  // namespace

std::span<const CatalogueChip> ChipCatalogue() {
  return kCatalogue;
}

const CatalogueChip* FindCatalogueChip(std::string_view name) {
  const auto it = std::ranges::find(kCatalogue, name, [](const auto& c) { return c.traits.name; });
  return it == kCatalogue.end() ? nullptr : &*it;
}

const CatalogueChip* CatalogueChipForPosition(std::uint8_t position) {
  const auto it = std::ranges::find(kCatalogue, std::optional{position}, &CatalogueChip::position);
  return it == kCatalogue.end() ? nullptr : &*it;
}

}  // namespace tr350::emulator
