// The serial-flash part table: the rules every record must keep for the command layer, and the
// lookup from read-identification replies to table positions. Each position's values are tied to
// the device's side by the transport's round trip through every catalogue chip of the emulator.
#include "transport/flash_part_table.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <set>
#include <string>
#include <utility>

namespace tr350 {
namespace {

using Fields = std::array<std::uint32_t, 4>;

Fields Of(const FlashCommandSlot& slot) {
  return {slot.opcode, slot.commandLength, slot.dataLength, slot.interval};
}

// Every command slot, so that slot-wide rules can be checked on each.
using P = FlashPartDescriptor;
// clang-format off
constexpr FlashCommandSlot P::*kCommandSlots[] = {
    &P::writeEnable, &P::writeDisable, &P::readStatus, &P::writeStatus, &P::readData,
    &P::pageProgram, &P::readId, &P::sectorErase, &P::chipErase, &P::blockErase, &P::fastRead,
    &P::partSpecific1, &P::partSpecific2, &P::secondReadId, &P::deepPowerDown,
    &P::releasePowerDown, &P::readSignature, &P::readManufacturer1, &P::readManufacturer2,
    &P::alternativeReadId, &P::writeStatusPrefix, &P::reserved23, &P::reserved24, &P::readStatus2,
    &P::reserved26, &P::uniqueIdRead};
// clang-format on

// Rules the flash command layer relies on, in every record.
TEST(FlashPartTableTest, EveryRecordIsUsableByTheCommandLayer) {
  for (std::size_t position = 0; position < kFlashPartCount; ++position) {
    SCOPED_TRACE("position " + std::to_string(position));
    const FlashPartDescriptor& part = FlashPartTable[position];

    // Commands are built in a 5-byte buffer and opcodes are one byte.
    for (const auto slot : kCommandSlots) {
      EXPECT_LE((part.*slot).opcode, 0xFFu);
      EXPECT_LE((part.*slot).commandLength, 5u);
      if ((part.*slot).opcode == 0) {
        EXPECT_EQ(Of(part.*slot), (Fields{0, 0, 0, 0}));
      }
    }
    EXPECT_EQ(Of(part.writeEnable), (Fields{0x06, 1, 0, 0}));
    EXPECT_EQ(Of(part.writeDisable), (Fields{0x04, 1, 0, 0}));
    EXPECT_EQ(Of(part.readStatus), (Fields{0x05, 1, 1, 0}));
    EXPECT_EQ(Of(part.reserved23), (Fields{0, 0, 0, 0}));
    EXPECT_EQ(Of(part.reserved24), (Fields{0, 0, 0, 0}));
    EXPECT_EQ(Of(part.reserved26), (Fields{0, 0, 0, 0}));
    EXPECT_EQ(part.finalField, 0u);
    // Reads and programs carry a 3-byte address; the whole chip is erased with one byte.
    EXPECT_EQ(std::pair(part.readData.opcode, part.readData.commandLength), std::pair(0x03u, 4u));
    EXPECT_EQ(std::pair(part.pageProgram.opcode, part.pageProgram.commandLength),
              std::pair(0x02u, 4u));
    EXPECT_EQ(part.chipErase.commandLength, 1u);
    EXPECT_EQ(part.protection.unprotectValue, 0u);
    EXPECT_TRUE(part.pageSize == 32 || part.pageSize == 128 || part.pageSize == 256);
    // A part without a status write has nothing to protect with.
    EXPECT_TRUE(part.writeStatus.opcode != 0 || part.protection.protectValue == 0);
  }
}

// A reply as read: first byte in the low 8 bits, missing bytes 0.
constexpr std::uint32_t Id(std::uint32_t first, std::uint32_t second = 0, std::uint32_t third = 0,
                           std::uint32_t fourth = 0) {
  return first | second << 8 | third << 16 | fourth << 24;
}

// The cases where the opcode or a byte the rules ignore decides: each lookup rule is tied to the
// catalogue chips through the probe in the transport's emulator tests.
TEST(FlashPartLookupTest, OpcodeAndIgnoredBytes) {
  struct Case {
    std::uint32_t opcode;
    std::uint32_t reply;
    std::int32_t position;  // -1: not recognised
  };
  // clang-format off
  const Case cases[] = {
      {0x9F, Id(0xFF, 0xFF, 0xFF), -1}, {0x90, Id(0xFF, 0xFF, 0xFF, 0xFF), -1}, {0x9F, Id(0), -1},
      {0x9F, Id(0x7F, 0x9D, 0x7F), -1}, {0xAB, Id(0x7F, 0x10), -1},
      // 0x9F ignores the second byte, 0xAB the third; the 0x21 rule is for 0x9F only.
      {0x9F, Id(0x9D, 0x60, 0x13), 35}, {0x9F, Id(0x9D, 0x7B, 0x00), 35},
      {0xAB, Id(0x9D, 0x00, 0x7B), 35}, {0xAB, Id(0x9D, 0x21), 35},
      {0x9F, Id(0x9D, 0x60, 0x10), 36}, {0xAB, Id(0x9D, 0x10, 0x9D), 36},
      {0x9F, Id(0x9D, 0x40, 0x21), 43},
      // The fourth byte decides only where a rule looks at it.
      {0x9F, Id(0xBF, 0x25, 0x26, 0), 28}, {0x90, Id(0xBF, 0x25, 0x26, 3), 28},
      {0x90, Id(0xBF, 0x25, 0x26, 1), 31}, {0x9F, Id(0xC2, 0x22, 0x11, 0x77), 6},
      // A rule for other opcodes leaves the manufacturer's default.
      {0x90, Id(0x1C, 0x05, 0x99), 21}, {0x9F, Id(0x1C, 0x05), 20},
      {0x15, Id(0x1F, 0x47), 18}, {0x90, Id(0x1F, 0x47), 14},
      {0x4B, Id(0xEF, 0x40, 0x18), 58},  // not a read-identification opcode
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << std::hex << "opcode 0x" << c.opcode << " reply 0x" << c.reply);
    const FlashPartMatch match = FindFlashPart(c.reply, c.opcode);
    EXPECT_EQ(match.position, c.position);
    EXPECT_EQ(match.part,
              c.position < 0 ? nullptr : &FlashPartTable[static_cast<std::size_t>(c.position)]);
  }
}

// Over every three-byte reply and each read-identification opcode (with the fourth byte values
// that matter when the reply has four bytes): only the twelve listed manufacturers are
// recognised, every result is a consistent record, and exactly the probe-only positions are never
// returned.
TEST(FlashPartLookupSweepTest, ReachesEveryPositionButTheProbeOnlyOnes) {
  struct Probe {
    std::uint32_t opcode;
    std::uint32_t fourth;
  };
  constexpr Probe kProbes[] = {{0x9F, 0}, {0xAB, 0}, {0x15, 0}, {0x90, 0},
                               {0x90, 1}, {0x90, 2}, {0x90, 3}};
  std::array<bool, kFlashPartCount> reached{};
  std::array<bool, 256> recognisedMakers{};
  int inconsistent = 0;
  for (std::uint32_t low = 0; low < 0x1000000; ++low) {
    for (const Probe& probe : kProbes) {
      const FlashPartMatch match = FindFlashPart(low | probe.fourth << 24, probe.opcode);
      if (match.position < 0) {
        inconsistent += match.position != -1 || match.part != nullptr;
        continue;
      }
      const auto index = static_cast<std::size_t>(match.position);
      if (index >= kFlashPartCount || match.part != &FlashPartTable[index]) {
        ++inconsistent;
        continue;
      }
      reached[index] = true;
      recognisedMakers[low & 0xFF] = true;
    }
  }
  EXPECT_EQ(inconsistent, 0);
  std::set<std::uint32_t> makers;
  for (std::uint32_t code = 0; code < 256; ++code) {
    if (recognisedMakers[code]) makers.insert(code);
  }
  EXPECT_EQ(makers, (std::set<std::uint32_t>{0x1C, 0x1F, 0x20, 0x37, 0x8C, 0x9D, 0xA1, 0xBF, 0xC2,
                                             0xC8, 0xE0, 0xEF}));
  std::set<std::size_t> unreached;
  for (std::size_t position = 0; position < kFlashPartCount; ++position) {
    if (!reached[position]) unreached.insert(position);
  }
  EXPECT_EQ(unreached, (std::set<std::size_t>{0, 2, 4, 5, 8, 15, 16, 32, 51}));
}

}  // namespace
}  // namespace tr350
