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

static_assert(std::size(kExpectedParts) == kFlashPartCount);

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
  EXPECT_EQ(Of(part.readId), (Fields{want.idOpcode, want.idCommandBytes, want.idReplyBytes, 0}));
  EXPECT_EQ(Of(part.writeStatus),
            want.statusCommandBytes == 0
                ? (Fields{0, 0, 0, 0})
                : (Fields{0x01, want.statusCommandBytes, 0, want.statusIntervalMs}));
  EXPECT_EQ(Of(part.writeStatusPrefix), (Fields{want.prefixOpcode, want.prefixCommandBytes, 0, 0}));
  EXPECT_EQ(part.protection.protectValue, want.protectValue);
  EXPECT_EQ(part.protection.unprotectValue, 0u);
  EXPECT_EQ(Of(part.chipErase), (Fields{want.eraseOpcode, 1, 0, want.eraseIntervalMs}));
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

// Rules the flash command layer relies on in the slots the per-part rows above do not pin.
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
  }
}

// A reply as read: first byte in the low 8 bits, missing bytes 0.
constexpr std::uint32_t Id(std::uint32_t first, std::uint32_t second = 0, std::uint32_t third = 0,
                           std::uint32_t fourth = 0) {
  return first | second << 8 | third << 16 | fourth << 24;
}

struct LookupCase {
  std::uint32_t opcode;
  std::uint32_t reply;
  std::int32_t position;  // -1: not recognised
};

void ExpectLookups(std::initializer_list<LookupCase> cases) {
  for (const LookupCase& c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << std::hex << "opcode 0x" << c.opcode << " reply 0x" << c.reply);
    const FlashPartMatch match = FindFlashPart(c.reply, c.opcode);
    EXPECT_EQ(match.position, c.position);
    EXPECT_EQ(match.part,
              c.position < 0 ? nullptr : &FlashPartTable[static_cast<std::size_t>(c.position)]);
  }
}

TEST(FlashPartLookupTest, UnknownRepliesAreNotRecognised) {
  ExpectLookups({{0x9F, Id(0xFF, 0xFF, 0xFF), -1},
                 {0x90, Id(0xFF, 0xFF, 0xFF, 0xFF), -1},
                 {0x9F, Id(0), -1},
                 {0x9F, Id(0x7F, 0x9D, 0x7F), -1},
                 {0xAB, Id(0x7F, 0x10), -1}});
}

// A listed manufacturer whose device bytes match no rule, or match one for another opcode.
TEST(FlashPartLookupTest, UnmatchedDeviceBytesGiveTheManufacturersDefault) {
  // clang-format off
  ExpectLookups({
      {0x9F, Id(0x1C, 0x31, 0x13), 20}, {0x9F, Id(0x1C, 0x05), 20},
      {0x9F, Id(0x1C, 0x20, 0x11), 20},
      {0x9F, Id(0x1F, 0x44), 14}, {0x90, Id(0x1F, 0x47), 14}, {0xAB, Id(0x1F, 0x47), 14},
      {0x9F, Id(0x20, 0x20, 0x14), 25}, {0x90, Id(0x20, 0x20, 0x10), 25},
      {0x9F, Id(0x37, 0x30, 0x14), 56}, {0xAB, Id(0x37, 0x15), 56},
      {0x9F, Id(0x8C, 0x30, 0x12), 23}, {0x90, Id(0x8C, 0x30, 0x11), 23},
      // 0x9F ignores the second byte, 0xAB the third; the 0x21 rule is for 0x9F only.
      {0x9F, Id(0x9D, 0x60, 0x13), 35}, {0x9F, Id(0x9D, 0x7B, 0x00), 35},
      {0xAB, Id(0x9D, 0x00, 0x7B), 35}, {0xAB, Id(0x9D, 0x21), 35},
      {0x9F, Id(0xA1, 0x31, 0x12), 53}, {0x15, Id(0xA1, 0x31, 0x11), 53},
      {0x9F, Id(0xBF, 0x25, 0x41), 28}, {0xAB, Id(0xBF, 0x25, 0x48), 28},
      {0x9F, Id(0xBF, 0x25, 0x26, 0), 28}, {0x90, Id(0xBF, 0x25, 0x26, 3), 28},
      {0x9F, Id(0xC2, 0x20, 0x16), 1}, {0x9F, Id(0xC2, 0x10), 1},
      {0x9F, Id(0xC8, 0x40, 0x14), 45}, {0x90, Id(0xC8, 0x40, 0x13), 45},
      {0x9F, Id(0xE0, 0x40, 0x14), 33}, {0x15, Id(0xE0, 0x40, 0x13), 33},
      {0x9F, Id(0xEF, 0x40, 0x17), 58}, {0x9F, Id(0xEF, 0x17), 58},
      {0x4B, Id(0xEF, 0x40, 0x18), 58},  // not a read-identification opcode
  });
  // clang-format on
}

// Every device rule, once per opcode it applies to.
TEST(FlashPartLookupTest, EveryDeviceRuleGivesItsPosition) {
  // clang-format off
  ExpectLookups({
      {0x90, Id(0x1C, 0x05, 0x99), 21}, {0x90, Id(0x1C, 0x14), 22},
      {0x9F, Id(0x1C, 0x20, 0x10), 21}, {0x9F, Id(0x1C, 0x70, 0x15), 22},
      {0x9F, Id(0x1F, 0x47, 0x01), 18}, {0x15, Id(0x1F, 0x47), 18},
      {0x9F, Id(0x1F, 0x65, 0x01), 17}, {0x15, Id(0x1F, 0x65), 17},
      {0x9F, Id(0x1F, 0x87, 0x01), 19}, {0x15, Id(0x1F, 0x87), 19},
      {0x9F, Id(0x20, 0x71, 0x10), 26}, {0x9F, Id(0x20, 0x20, 0x11), 27},
      {0x90, Id(0x37, 0x15, 0x37, 0x15), 57}, {0x9F, Id(0x37, 0x30, 0x16), 57},
      {0x9F, Id(0x8C, 0x30, 0x11), 24},
      {0x9F, Id(0x9D, 0x60, 0x10), 36}, {0x9F, Id(0x9D, 0x60, 0x11), 37},
      {0x9F, Id(0x9D, 0x60, 0x7B), 38}, {0x9F, Id(0x9D, 0x60, 0x7C), 39},
      {0x9F, Id(0x9D, 0x60, 0x7D), 40}, {0x9F, Id(0x9D, 0x60, 0x7E), 41},
      {0x9F, Id(0x9D, 0x60, 0x02), 42}, {0x9F, Id(0x9D, 0x40, 0x21), 43},
      {0x9F, Id(0x9D, 0x40, 0x42), 44},
      {0xAB, Id(0x9D, 0x10, 0x9D), 36}, {0xAB, Id(0x9D, 0x11, 0x9D), 37},
      {0xAB, Id(0x9D, 0x7B, 0x9D), 38}, {0xAB, Id(0x9D, 0x7C, 0x9D), 39},
      {0xAB, Id(0x9D, 0x7D, 0x9D), 40}, {0xAB, Id(0x9D, 0x7E, 0x9D), 41},
      {0xAB, Id(0x9D, 0x02, 0x9D), 42},
      {0x90, Id(0xA1, 0x31, 0x11), 54}, {0x9F, Id(0xA1, 0x31, 0x11), 54},
      {0xAB, Id(0xA1, 0x31, 0x11), 54},
      {0x90, Id(0xA1, 0x31, 0x10), 55}, {0x9F, Id(0xA1, 0x31, 0x10), 55},
      {0xAB, Id(0xA1, 0x31, 0x10), 55},
      {0x90, Id(0xBF, 0x25, 0x48), 29}, {0x9F, Id(0xBF, 0x25, 0x48), 29},
      {0x90, Id(0xBF, 0x25, 0x4B), 30}, {0x9F, Id(0xBF, 0x25, 0x4B), 30},
      {0x90, Id(0xBF, 0x25, 0x26, 1), 31}, {0x9F, Id(0xBF, 0x25, 0x26, 1), 31},
      {0x90, Id(0xBF, 0x25, 0x26, 2), 31}, {0x9F, Id(0xBF, 0x25, 0x26, 2), 31},
      {0x90, Id(0xC2, 0x10), 3}, {0x90, Id(0xC2, 0x16), 7}, {0x90, Id(0xC2, 0x19), 9},
      {0x90, Id(0xC2, 0x05), 10}, {0x90, Id(0xC2, 0x17), 11},
      {0x9F, Id(0xC2, 0x22, 0x11), 6}, {0x9F, Id(0xC2, 0x22, 0x11, 0x77), 6},  // any fourth byte
      {0x9F, Id(0xC2, 0x20, 0x12), 12}, {0x9F, Id(0xC2, 0x23, 0x11), 13},
      {0x90, Id(0xC8, 0x12), 46}, {0x90, Id(0xC8, 0x11), 47}, {0x90, Id(0xC8, 0x10), 48},
      {0x90, Id(0xC8, 0x05), 49}, {0x90, Id(0xC8, 0x14), 50}, {0x90, Id(0xC8, 0x17), 52},
      {0x9F, Id(0xC8, 0x40, 0x13), 46}, {0x9F, Id(0xC8, 0x40, 0x12), 47},
      {0x9F, Id(0xC8, 0x40, 0x11), 48}, {0x9F, Id(0xC8, 0x40, 0x10), 49},
      {0x9F, Id(0xC8, 0x40, 0x15), 50}, {0x9F, Id(0xC8, 0x40, 0x18), 52},
      {0x90, Id(0xE0, 0x40, 0x13), 34}, {0x9F, Id(0xE0, 0x40, 0x13), 34},
      {0xAB, Id(0xE0, 0x40, 0x13), 34},
      {0x90, Id(0xEF, 0x17), 59}, {0xAB, Id(0xEF, 0x17), 59}, {0x9F, Id(0xEF, 0x40, 0x18), 59},
      {0x90, Id(0xEF, 0x12), 60}, {0xAB, Id(0xEF, 0x12), 60}, {0x9F, Id(0xEF, 0x30, 0x13), 60},
  });
  // clang-format on
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
