// Checks the serial-flash part table against the documented per-part values and invariants, and
// the lookup from read-identification replies to table positions.
#include "transport/flash_part_table.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <ostream>
#include <set>
#include <string>

namespace tr350 {
namespace {

using Fields = std::array<std::uint32_t, 4>;

Fields Of(const FlashCommandSlot& slot) {
  return {slot.opcode, slot.commandLength, slot.dataLength, slot.interval};
}

// The values the tool uses, one row per part, written out from the part list independently of
// the table. Status write 0, 0 means the part has none; prefix 0, 0 means no prefix.
struct ExpectedPart {
  int position;
  std::uint32_t pageSize;
  std::uint32_t idOpcode, idCommandBytes, idReplyBytes;
  std::uint32_t statusCommandBytes, statusIntervalMs;
  std::uint32_t prefixOpcode, prefixCommandBytes;
  std::uint32_t protectValue;
  std::uint32_t eraseOpcode, eraseIntervalMs;
  std::uint32_t programIntervalMs;
};

// clang-format off
constexpr ExpectedPart kExpectedParts[] = {
    { 0, 256, 0x9F, 1, 3, 2,  5,    0, 0, 0x0C, 0x60, 1000, 5},
    { 1, 256, 0x9F, 1, 3, 2,  5,    0, 0, 0x0C, 0xC7, 1000, 1},
    { 2, 256, 0x9F, 1, 3, 2,  5,    0, 0, 0x0C, 0x60, 1000, 1},
    { 3, 256, 0x9F, 1, 3, 2, 10,    0, 0, 0x0C, 0x60, 1000, 1},
    { 4, 256, 0x9F, 1, 3, 2, 10,    0, 0, 0x0C, 0x60, 1000, 1},
    { 5,  32, 0x9F, 1, 3, 2,  5,    0, 0, 0x0C, 0x60, 1000, 1},
    { 6,  32, 0x9F, 1, 3, 2,  5,    0, 0, 0x0C, 0x60, 1500, 1},
    { 7, 256, 0x9F, 1, 3, 2, 40,    0, 0, 0x3C, 0x60, 9999, 1},
    { 8, 256, 0x9F, 1, 3, 2, 40,    0, 0, 0x3C, 0x60, 9999, 1},
    { 9, 256, 0x9F, 1, 3, 2, 40,    0, 0, 0x3C, 0x60, 9999, 1},
    {10, 256, 0x9F, 1, 3, 2,  5,    0, 0, 0x0C, 0x60,  400, 1},
    {11, 256, 0x9F, 1, 3, 2, 40,    0, 0, 0x3C, 0x60, 9999, 1},
    {12, 256, 0x9F, 1, 3, 2, 64,    0, 0, 0x3C, 0x60, 1700, 1},
    {13, 256, 0x9F, 1, 3, 3, 30,    0, 0, 0x3C, 0x60,  700, 1},
    {14, 256, 0x15, 1, 2, 2, 60,    0, 0, 0x0C, 0x62, 1100, 1},
    {15, 256, 0x15, 1, 2, 2, 60,    0, 0, 0x0C, 0x62, 1100, 1},
    {16, 256, 0x15, 1, 2, 2, 60,    0, 0, 0x0C, 0x62, 1100, 1},
    {17, 128, 0x15, 1, 2, 2, 60,    0, 0, 0x0C, 0x62, 1100, 1},
    {18, 256, 0x9F, 1, 3, 2,  1,    0, 0, 0x3C, 0x60, 9000, 1},
    {19, 256, 0x9F, 1, 3, 2, 15,    0, 0, 0x3C, 0xC7, 5000, 1},
    {20, 256, 0x9F, 1, 3, 2, 10,    0, 0, 0x0C, 0xC7, 1000, 1},
    {21, 256, 0x9F, 1, 3, 2, 10,    0, 0, 0x0C, 0xC7, 1000, 1},
    {22, 256, 0x9F, 1, 3, 2, 15,    0, 0, 0x0C, 0xC7, 6000, 1},
    {23, 256, 0x90, 4, 4, 2,  5,    0, 0, 0x08, 0x60, 1000, 2},
    {24, 256, 0x90, 4, 4, 2,  5,    0, 0, 0x08, 0x60, 1000, 2},
    {25, 256, 0x9F, 1, 3, 2,  5,    0, 0, 0x0C, 0xC7,  850, 1},
    {26, 256, 0x9F, 1, 3, 2,  5,    0, 0, 0x0C, 0xC7,  850, 1},
    {27, 256, 0x9F, 1, 3, 2,  5,    0, 0, 0x0C, 0xC7, 1700, 1},
    {28, 256, 0x90, 4, 4, 2, 10, 0x50, 1, 0x0C, 0x60,  100, 1},
    {29, 256, 0x90, 4, 4, 2, 10, 0x50, 1, 0x0C, 0x60,  100, 1},
    {30, 256, 0x9F, 1, 3, 2,  1, 0x50, 1, 0x3C, 0x60,   50, 2},
    {31, 256, 0x9F, 1, 3, 0,  0,    0, 0, 0x00, 0xC7,   50, 1},
    {32, 256, 0x9F, 1, 3, 0,  0,    0, 0, 0x00, 0xC7,   50, 1},
    {33, 256, 0x9F, 1, 3, 3, 10, 0x50, 0, 0x1C, 0xC7, 4000, 1},
    {34, 256, 0x9F, 1, 3, 3, 10, 0x50, 0, 0x1C, 0xC7, 4000, 1},
    {35, 256, 0xAB, 4, 3, 2, 10,    0, 0, 0x1C, 0xC7,   15, 2},
    {36, 256, 0xAB, 4, 3, 2, 10,    0, 0, 0x1C, 0xC7,   15, 2},
    {37, 256, 0xAB, 4, 3, 2, 10,    0, 0, 0x1C, 0xC7,   15, 2},
    {38, 256, 0xAB, 4, 3, 2, 60,    0, 0, 0x1C, 0xC7,   60, 2},
    {39, 256, 0xAB, 4, 3, 2, 60,    0, 0, 0x1C, 0xC7,   60, 2},
    {40, 256, 0xAB, 4, 3, 2, 60,    0, 0, 0x1C, 0xC7,   60, 2},
    {41, 256, 0xAB, 4, 3, 2, 60,    0, 0, 0x1C, 0xC7,   60, 2},
    {42, 256, 0xAB, 4, 3, 2,  2,    0, 0, 0x1C, 0xC7,    2, 2},
    {43, 256, 0xAB, 4, 3, 2,  2,    0, 0, 0x1C, 0xC7,  400, 2},
    {44, 256, 0xAB, 4, 3, 2,  2,    0, 0, 0x1C, 0xC7,  750, 2},
    {45, 256, 0x9F, 1, 3, 3,  2,    0, 0, 0x7C, 0xC7, 1000, 1},
    {46, 256, 0x9F, 1, 3, 3, 10,    0, 0, 0x7C, 0xC7, 3000, 1},
    {47, 256, 0x9F, 1, 3, 3, 10,    0, 0, 0x7C, 0xC7, 2000, 1},
    {48, 256, 0x9F, 1, 3, 3, 10,    0, 0, 0x7C, 0xC7, 1000, 1},
    {49, 256, 0x9F, 1, 3, 3, 10,    0, 0, 0x7C, 0xC7,  500, 1},
    {50, 256, 0x9F, 1, 3, 3,  2,    0, 0, 0x7C, 0xC7, 5000, 1},
    {51, 256, 0x9F, 1, 3, 3, 16,    0, 0, 0x7C, 0xC7,  800, 1},
    {52, 256, 0x9F, 1, 3, 2,  5,    0, 0, 0x7C, 0xC7, 5000, 1},
    {53, 256, 0x9F, 1, 3, 2, 10,    0, 0, 0x08, 0x60, 1500, 2},
    {54, 256, 0x9F, 1, 3, 2, 10,    0, 0, 0x08, 0x60, 1500, 2},
    {55, 256, 0x9F, 1, 3, 2, 10,    0, 0, 0x08, 0x60,  700, 2},
    {56, 256, 0x9F, 1, 3, 3,  5,    0, 0, 0x1C, 0x60, 8000, 2},
    {57, 256, 0x9F, 1, 3, 3,  5,    0, 0, 0x1C, 0xC7, 8000, 2},
    {58, 256, 0x9F, 1, 3, 2, 10,    0, 0, 0x1C, 0x60, 1000, 1},
    {59, 256, 0x9F, 1, 3, 2, 10,    0, 0, 0x1C, 0xC7, 8000, 1},
    {60, 256, 0x9F, 1, 3, 2, 16,    0, 0, 0x1C, 0xC7, 1000, 1},
};
// clang-format on

TEST(FlashPartTableTest, ExpectedRowsCoverEveryPositionInOrder) {
  ASSERT_EQ(std::size(kExpectedParts), kFlashPartCount);
  for (std::size_t i = 0; i < kFlashPartCount; ++i) {
    EXPECT_EQ(kExpectedParts[i].position, static_cast<int>(i));
  }
}

void PrintTo(const ExpectedPart& row, std::ostream* os) {
  *os << "position " << row.position;
}

class FlashPartRecordTest : public ::testing::TestWithParam<ExpectedPart> {};

TEST_P(FlashPartRecordTest, MatchesPartList) {
  const ExpectedPart& want = GetParam();
  const FlashPartDescriptor& part = FlashPartTable[static_cast<std::size_t>(want.position)];
  // Reads are paced at 1 ms except on the generic first probe and one slow part.
  const std::uint32_t readIntervalMs = (want.position == 0 || want.position == 12) ? 5 : 1;

  EXPECT_EQ(part.pageSize, want.pageSize);
  EXPECT_EQ(part.readId.opcode, want.idOpcode);
  EXPECT_EQ(part.readId.commandLength, want.idCommandBytes);
  EXPECT_EQ(part.readId.dataLength, want.idReplyBytes);
  if (want.statusCommandBytes == 0) {
    EXPECT_EQ(Of(part.writeStatus), (Fields{0, 0, 0, 0}));
  } else {
    EXPECT_EQ(Of(part.writeStatus),
              (Fields{0x01, want.statusCommandBytes, 0, want.statusIntervalMs}));
  }
  EXPECT_EQ(part.writeStatusPrefix.opcode, want.prefixOpcode);
  EXPECT_EQ(part.writeStatusPrefix.commandLength, want.prefixCommandBytes);
  EXPECT_EQ(part.protection.protectValue, want.protectValue);
  EXPECT_EQ(part.protection.unprotectValue, 0u);
  EXPECT_EQ(part.chipErase.opcode, want.eraseOpcode);
  EXPECT_EQ(part.chipErase.commandLength, 1u);
  EXPECT_EQ(part.chipErase.interval, want.eraseIntervalMs);
  EXPECT_EQ(Of(part.pageProgram), (Fields{0x02, 4, 0, want.programIntervalMs}));
  EXPECT_EQ(Of(part.readData), (Fields{0x03, 4, 0, readIntervalMs}));
}

std::string PartName(const ::testing::TestParamInfo<ExpectedPart>& row) {
  return "Position" + std::to_string(row.param.position);
}

INSTANTIATE_TEST_SUITE_P(AllParts, FlashPartRecordTest, ::testing::ValuesIn(kExpectedParts),
                         PartName);

// Every command slot, so that slot-wide rules can be checked on each.
constexpr FlashCommandSlot FlashPartDescriptor::*kCommandSlots[] = {
    &FlashPartDescriptor::writeEnable,
    &FlashPartDescriptor::writeDisable,
    &FlashPartDescriptor::readStatus,
    &FlashPartDescriptor::writeStatus,
    &FlashPartDescriptor::readData,
    &FlashPartDescriptor::pageProgram,
    &FlashPartDescriptor::readId,
    &FlashPartDescriptor::sectorErase,
    &FlashPartDescriptor::chipErase,
    &FlashPartDescriptor::blockErase,
    &FlashPartDescriptor::fastRead,
    &FlashPartDescriptor::partSpecific1,
    &FlashPartDescriptor::partSpecific2,
    &FlashPartDescriptor::secondReadId,
    &FlashPartDescriptor::deepPowerDown,
    &FlashPartDescriptor::releasePowerDown,
    &FlashPartDescriptor::readSignature,
    &FlashPartDescriptor::readManufacturer1,
    &FlashPartDescriptor::readManufacturer2,
    &FlashPartDescriptor::alternativeReadId,
    &FlashPartDescriptor::writeStatusPrefix,
    &FlashPartDescriptor::reserved23,
    &FlashPartDescriptor::reserved24,
    &FlashPartDescriptor::readStatus2,
    &FlashPartDescriptor::reserved26,
    &FlashPartDescriptor::uniqueIdRead,
};

// Rules the flash command layer relies on, checked on every record.
TEST(FlashPartTableTest, EveryRecordIsUsableByTheCommandLayer) {
  const std::set<Fields> readIdForms = {
      {0x9F, 1, 3, 0}, {0x90, 4, 4, 0}, {0xAB, 4, 3, 0}, {0x15, 1, 2, 0}};
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
    EXPECT_TRUE(part.pageSize == 32 || part.pageSize == 128 || part.pageSize == 256);
    EXPECT_TRUE(readIdForms.contains(
        Fields{part.readId.opcode, part.readId.commandLength, part.readId.dataLength, 0}));

    // Status write: one or two status bytes with a wait after it, or none at all. The protect
    // value must fit the status bytes, and protecting must write something when it can.
    const FlashCommandSlot& status = part.writeStatus;
    if (status.opcode == 0) {
      EXPECT_EQ(part.protection.protectValue, 0u);
      EXPECT_EQ(part.writeStatusPrefix.opcode, 0u);
    } else {
      EXPECT_EQ(status.opcode, 0x01u);
      EXPECT_TRUE(status.commandLength == 2 || status.commandLength == 3);
      EXPECT_EQ(status.dataLength, 0u);
      EXPECT_GT(status.interval, 0u);
      EXPECT_NE(part.protection.protectValue, 0u);
      EXPECT_LE(part.protection.protectValue, status.commandLength == 3 ? 0xFFFFu : 0xFFu);
    }
    EXPECT_EQ(part.protection.unprotectValue, 0u);
    EXPECT_TRUE(part.writeStatusPrefix.opcode == 0 || part.writeStatusPrefix.opcode == 0x50);
    EXPECT_LE(part.writeStatusPrefix.commandLength, 1u);

    EXPECT_EQ(part.readData.opcode, 0x03u);
    EXPECT_EQ(part.readData.commandLength, 4u);
    EXPECT_GT(part.readData.interval, 0u);
    EXPECT_EQ(part.pageProgram.opcode, 0x02u);
    EXPECT_EQ(part.pageProgram.commandLength, 4u);
    EXPECT_GT(part.pageProgram.interval, 0u);
    const std::uint32_t erase = part.chipErase.opcode;
    EXPECT_TRUE(erase == 0xC7 || erase == 0x60 || erase == 0x62);
    EXPECT_EQ(part.chipErase.commandLength, 1u);
    EXPECT_GT(part.chipErase.interval, 0u);

    EXPECT_EQ(Of(part.reserved23), (Fields{0, 0, 0, 0}));
    EXPECT_EQ(Of(part.reserved24), (Fields{0, 0, 0, 0}));
    EXPECT_EQ(Of(part.reserved26), (Fields{0, 0, 0, 0}));
    EXPECT_EQ(part.finalField, 0u);
  }
}

// A reply as read: first byte in the low 8 bits, missing bytes 0.
constexpr std::uint32_t Id(std::uint32_t first, std::uint32_t second = 0, std::uint32_t third = 0,
                           std::uint32_t fourth = 0) {
  return first | second << 8 | third << 16 | fourth << 24;
}

struct LookupCase {
  const char* name;
  std::uint32_t reply;
  std::uint32_t opcode;
  std::int32_t position;
};

void PrintTo(const LookupCase& c, std::ostream* os) {
  *os << c.name;
}

class FlashPartLookupTest : public ::testing::TestWithParam<LookupCase> {};

TEST_P(FlashPartLookupTest, FindsPosition) {
  const LookupCase& c = GetParam();
  const FlashPartMatch match = FindFlashPart(c.reply, c.opcode);
  EXPECT_EQ(match.position, c.position);
  if (c.position < 0) {
    EXPECT_EQ(match.part, nullptr);
  } else {
    EXPECT_EQ(match.part, &FlashPartTable[static_cast<std::size_t>(c.position)]);
  }
}

std::string CaseName(const ::testing::TestParamInfo<LookupCase>& info) {
  return info.param.name;
}

// Replies nobody recognises.
INSTANTIATE_TEST_SUITE_P(Unknown, FlashPartLookupTest,
                         ::testing::Values(LookupCase{"NoChip9F", Id(0xFF, 0xFF, 0xFF), 0x9F, -1},
                                           LookupCase{"NoChip90", Id(0xFF, 0xFF, 0xFF, 0xFF), 0x90,
                                                      -1},
                                           LookupCase{"AllZero", Id(0), 0x9F, -1},
                                           LookupCase{"Maker7F", Id(0x7F, 0x9D, 0x7F), 0x9F, -1},
                                           LookupCase{"Maker7FAB", Id(0x7F, 0x10), 0xAB, -1}),
                         CaseName);

// A listed manufacturer whose device bytes match no rule, or match one for another opcode.
INSTANTIATE_TEST_SUITE_P(
    Defaults, FlashPartLookupTest,
    ::testing::Values(LookupCase{"M1C", Id(0x1C, 0x31, 0x13), 0x9F, 20},
                      LookupCase{"M1CRuleOf90Via9F", Id(0x1C, 0x05), 0x9F, 20},
                      LookupCase{"M1CSecondOnly", Id(0x1C, 0x20, 0x11), 0x9F, 20},
                      LookupCase{"M1F", Id(0x1F, 0x44), 0x9F, 14},
                      LookupCase{"M1FRuleVia90", Id(0x1F, 0x47), 0x90, 14},
                      LookupCase{"M1FRuleViaAB", Id(0x1F, 0x47), 0xAB, 14},
                      LookupCase{"M20", Id(0x20, 0x20, 0x14), 0x9F, 25},
                      LookupCase{"M20RuleVia90", Id(0x20, 0x20, 0x10), 0x90, 25},
                      LookupCase{"M37", Id(0x37, 0x30, 0x14), 0x9F, 56},
                      LookupCase{"M37RuleViaAB", Id(0x37, 0x15), 0xAB, 56},
                      LookupCase{"M8C", Id(0x8C, 0x30, 0x12), 0x9F, 23},
                      LookupCase{"M8CRuleVia90", Id(0x8C, 0x30, 0x11), 0x90, 23},
                      LookupCase{"M9D", Id(0x9D, 0x60, 0x13), 0x9F, 35},
                      LookupCase{"M9DSecondIgnoredFor9F", Id(0x9D, 0x7B, 0x00), 0x9F, 35},
                      LookupCase{"M9DThirdIgnoredForAB", Id(0x9D, 0x00, 0x7B), 0xAB, 35},
                      LookupCase{"M9D21OnlyFor9F", Id(0x9D, 0x21), 0xAB, 35},
                      LookupCase{"MA1", Id(0xA1, 0x31, 0x12), 0x9F, 53},
                      LookupCase{"MA1RuleVia15", Id(0xA1, 0x31, 0x11), 0x15, 53},
                      LookupCase{"MBF", Id(0xBF, 0x25, 0x41), 0x9F, 28},
                      LookupCase{"MBFRuleViaAB", Id(0xBF, 0x25, 0x48), 0xAB, 28},
                      LookupCase{"MBF26Fourth0", Id(0xBF, 0x25, 0x26, 0), 0x9F, 28},
                      LookupCase{"MBF26Fourth3", Id(0xBF, 0x25, 0x26, 3), 0x90, 28},
                      LookupCase{"MC2UnlistedDevice", Id(0xC2, 0x20, 0x16), 0x9F, 1},
                      LookupCase{"MC2RuleOf90Via9F", Id(0xC2, 0x10), 0x9F, 1},
                      LookupCase{"MC8", Id(0xC8, 0x40, 0x14), 0x9F, 45},
                      LookupCase{"MC8RuleOf9FVia90", Id(0xC8, 0x40, 0x13), 0x90, 45},
                      LookupCase{"ME0", Id(0xE0, 0x40, 0x14), 0x9F, 33},
                      LookupCase{"ME0RuleVia15", Id(0xE0, 0x40, 0x13), 0x15, 33},
                      LookupCase{"MEF", Id(0xEF, 0x40, 0x17), 0x9F, 58},
                      LookupCase{"MEFRuleOf90Via9F", Id(0xEF, 0x17), 0x9F, 58},
                      LookupCase{"MEFUnknownOpcode", Id(0xEF, 0x40, 0x18), 0x4B, 58}),
    CaseName);

// Every device rule, once per opcode it applies to.
INSTANTIATE_TEST_SUITE_P(
    Rules, FlashPartLookupTest,
    ::testing::Values(LookupCase{"M1C90s05", Id(0x1C, 0x05, 0x99), 0x90, 21},
                      LookupCase{"M1C90s14", Id(0x1C, 0x14), 0x90, 22},
                      LookupCase{"M1C9Fs20t10", Id(0x1C, 0x20, 0x10), 0x9F, 21},
                      LookupCase{"M1C9Fs70t15", Id(0x1C, 0x70, 0x15), 0x9F, 22},
                      LookupCase{"M1F9Fs47", Id(0x1F, 0x47, 0x01), 0x9F, 18},
                      LookupCase{"M1F15s47", Id(0x1F, 0x47), 0x15, 18},
                      LookupCase{"M1F9Fs65", Id(0x1F, 0x65, 0x01), 0x9F, 17},
                      LookupCase{"M1F15s65", Id(0x1F, 0x65), 0x15, 17},
                      LookupCase{"M1F9Fs87", Id(0x1F, 0x87, 0x01), 0x9F, 19},
                      LookupCase{"M1F15s87", Id(0x1F, 0x87), 0x15, 19},
                      LookupCase{"M209Ft10", Id(0x20, 0x71, 0x10), 0x9F, 26},
                      LookupCase{"M209Ft11", Id(0x20, 0x20, 0x11), 0x9F, 27},
                      LookupCase{"M3790s15", Id(0x37, 0x15, 0x37, 0x15), 0x90, 57},
                      LookupCase{"M379Ft16", Id(0x37, 0x30, 0x16), 0x9F, 57},
                      LookupCase{"M8C9Fs30t11", Id(0x8C, 0x30, 0x11), 0x9F, 24},
                      LookupCase{"M9D9Ft10", Id(0x9D, 0x60, 0x10), 0x9F, 36},
                      LookupCase{"M9D9Ft11", Id(0x9D, 0x60, 0x11), 0x9F, 37},
                      LookupCase{"M9D9Ft7B", Id(0x9D, 0x60, 0x7B), 0x9F, 38},
                      LookupCase{"M9D9Ft7C", Id(0x9D, 0x60, 0x7C), 0x9F, 39},
                      LookupCase{"M9D9Ft7D", Id(0x9D, 0x60, 0x7D), 0x9F, 40},
                      LookupCase{"M9D9Ft7E", Id(0x9D, 0x60, 0x7E), 0x9F, 41},
                      LookupCase{"M9D9Ft02", Id(0x9D, 0x60, 0x02), 0x9F, 42},
                      LookupCase{"M9D9Ft21", Id(0x9D, 0x40, 0x21), 0x9F, 43},
                      LookupCase{"M9D9Ft42", Id(0x9D, 0x40, 0x42), 0x9F, 44},
                      LookupCase{"M9DABs10", Id(0x9D, 0x10, 0x9D), 0xAB, 36},
                      LookupCase{"M9DABs11", Id(0x9D, 0x11, 0x9D), 0xAB, 37},
                      LookupCase{"M9DABs7B", Id(0x9D, 0x7B, 0x9D), 0xAB, 38},
                      LookupCase{"M9DABs7C", Id(0x9D, 0x7C, 0x9D), 0xAB, 39},
                      LookupCase{"M9DABs7D", Id(0x9D, 0x7D, 0x9D), 0xAB, 40},
                      LookupCase{"M9DABs7E", Id(0x9D, 0x7E, 0x9D), 0xAB, 41},
                      LookupCase{"M9DABs02", Id(0x9D, 0x02, 0x9D), 0xAB, 42},
                      LookupCase{"MA190s31t11", Id(0xA1, 0x31, 0x11), 0x90, 54},
                      LookupCase{"MA19Fs31t11", Id(0xA1, 0x31, 0x11), 0x9F, 54},
                      LookupCase{"MA1ABs31t11", Id(0xA1, 0x31, 0x11), 0xAB, 54},
                      LookupCase{"MA190s31t10", Id(0xA1, 0x31, 0x10), 0x90, 55},
                      LookupCase{"MA19Fs31t10", Id(0xA1, 0x31, 0x10), 0x9F, 55},
                      LookupCase{"MA1ABs31t10", Id(0xA1, 0x31, 0x10), 0xAB, 55},
                      LookupCase{"MBF90t48", Id(0xBF, 0x25, 0x48), 0x90, 29},
                      LookupCase{"MBF9Ft48", Id(0xBF, 0x25, 0x48), 0x9F, 29},
                      LookupCase{"MBF90t4B", Id(0xBF, 0x25, 0x4B), 0x90, 30},
                      LookupCase{"MBF9Ft4B", Id(0xBF, 0x25, 0x4B), 0x9F, 30},
                      LookupCase{"MBF90t26f1", Id(0xBF, 0x25, 0x26, 1), 0x90, 31},
                      LookupCase{"MBF9Ft26f1", Id(0xBF, 0x25, 0x26, 1), 0x9F, 31},
                      LookupCase{"MBF90t26f2", Id(0xBF, 0x25, 0x26, 2), 0x90, 31},
                      LookupCase{"MBF9Ft26f2", Id(0xBF, 0x25, 0x26, 2), 0x9F, 31},
                      LookupCase{"MC290s10", Id(0xC2, 0x10), 0x90, 3},
                      LookupCase{"MC290s16", Id(0xC2, 0x16), 0x90, 7},
                      LookupCase{"MC290s19", Id(0xC2, 0x19), 0x90, 9},
                      LookupCase{"MC290s05", Id(0xC2, 0x05), 0x90, 10},
                      LookupCase{"MC290s17", Id(0xC2, 0x17), 0x90, 11},
                      LookupCase{"MC29Fs22t11", Id(0xC2, 0x22, 0x11), 0x9F, 6},
                      LookupCase{"MC29Fs22t11AnyFourth", Id(0xC2, 0x22, 0x11, 0x77), 0x9F, 6},
                      LookupCase{"MC29Fs20t12", Id(0xC2, 0x20, 0x12), 0x9F, 12},
                      LookupCase{"MC29Fs23t11", Id(0xC2, 0x23, 0x11), 0x9F, 13},
                      LookupCase{"MC890s12", Id(0xC8, 0x12), 0x90, 46},
                      LookupCase{"MC890s11", Id(0xC8, 0x11), 0x90, 47},
                      LookupCase{"MC890s10", Id(0xC8, 0x10), 0x90, 48},
                      LookupCase{"MC890s05", Id(0xC8, 0x05), 0x90, 49},
                      LookupCase{"MC890s14", Id(0xC8, 0x14), 0x90, 50},
                      LookupCase{"MC890s17", Id(0xC8, 0x17), 0x90, 52},
                      LookupCase{"MC89Fs40t13", Id(0xC8, 0x40, 0x13), 0x9F, 46},
                      LookupCase{"MC89Fs40t12", Id(0xC8, 0x40, 0x12), 0x9F, 47},
                      LookupCase{"MC89Fs40t11", Id(0xC8, 0x40, 0x11), 0x9F, 48},
                      LookupCase{"MC89Fs40t10", Id(0xC8, 0x40, 0x10), 0x9F, 49},
                      LookupCase{"MC89Fs40t15", Id(0xC8, 0x40, 0x15), 0x9F, 50},
                      LookupCase{"MC89Fs40t18", Id(0xC8, 0x40, 0x18), 0x9F, 52},
                      LookupCase{"ME090s40t13", Id(0xE0, 0x40, 0x13), 0x90, 34},
                      LookupCase{"ME09Fs40t13", Id(0xE0, 0x40, 0x13), 0x9F, 34},
                      LookupCase{"ME0ABs40t13", Id(0xE0, 0x40, 0x13), 0xAB, 34},
                      LookupCase{"MEF90s17", Id(0xEF, 0x17), 0x90, 59},
                      LookupCase{"MEFABs17", Id(0xEF, 0x17), 0xAB, 59},
                      LookupCase{"MEF90s12", Id(0xEF, 0x12), 0x90, 60},
                      LookupCase{"MEFABs12", Id(0xEF, 0x12), 0xAB, 60},
                      LookupCase{"MEF9Fs40t18", Id(0xEF, 0x40, 0x18), 0x9F, 59},
                      LookupCase{"MEF9Fs30t13", Id(0xEF, 0x30, 0x13), 0x9F, 60}),
    CaseName);

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
