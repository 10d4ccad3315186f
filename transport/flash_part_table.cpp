// The constant table of the serial-flash parts the reader may carry, and the lookup from a
// read-identification reply to a record of it.
#include "transport/flash_part_table.h"

namespace tr350 {
namespace {

// Slots every part shares.
constexpr FlashCommandSlot kWriteEnable{0x06, 1, 0, 0};
constexpr FlashCommandSlot kWriteDisable{0x04, 1, 0, 0};
constexpr FlashCommandSlot kReadStatus{0x05, 1, 1, 0};

// Read-identification commands: opcode, bytes sent, reply bytes. The 4-byte forms send a zero
// address after the opcode.
constexpr FlashCommandSlot kId9F{0x9F, 1, 3, 0};
constexpr FlashCommandSlot kId90{0x90, 4, 4, 0};
constexpr FlashCommandSlot kIdAB{0xAB, 4, 3, 0};
constexpr FlashCommandSlot kId15{0x15, 1, 2, 0};

// Status write of one (Status1) or two (Status2) status bytes and the poll interval after it.
constexpr FlashCommandSlot Status1(std::uint32_t intervalMs) {
  return {0x01, 2, 0, intervalMs};
}
constexpr FlashCommandSlot Status2(std::uint32_t intervalMs) {
  return {0x01, 3, 0, intervalMs};
}
constexpr FlashCommandSlot kNoStatusWrite{};

// Enable-write-status command sent before each status write. Two parts list it with a command
// length of 0; that is kept unchanged.
constexpr FlashCommandSlot kNoPrefix{};
constexpr FlashCommandSlot kPrefix{0x50, 1, 0, 0};
constexpr FlashCommandSlot kPrefixLen0{0x50, 0, 0, 0};

// Whole-chip erase; the erase-progress scale in the data-length place is not kept (nothing
// reads it).
constexpr FlashCommandSlot Erase(std::uint32_t opcode, std::uint32_t intervalMs) {
  return {opcode, 1, 0, intervalMs};
}

// The rows by what selects them in the lookup: the read-identification reply, maker code first
// then the device bytes (xx: any). A maker code alone names the row its code falls back to;
// kProbe rows are reached only by probing in table order. The enumerators run in table order
// (checked below), so each one's value is its row's position.
enum class Row : std::int32_t {
  kGeneric,
  kC2,
  kProbe2,
  kC2_10,
  kProbe4,
  kProbe5,
  kC2_2211,
  kC2_16,
  kProbe8,
  kC2_19,
  kC2_05,
  kC2_17,
  kC2_2012,
  kC2_2311,
  k1F,
  kProbe15,
  kProbe16,
  k1F_65,
  k1F_47,
  k1F_87,
  k1C,
  k1C_2010,
  k1C_7015,
  k8C,
  k8C_3011,
  k20,
  k20_xx10,
  k20_xx11,
  kBF,
  kBF_xx48,
  kBF_xx4B,
  kBF_xx26,
  kProbe32,
  kE0,
  kE0_4013,
  k9D,
  k9D_xx10,
  k9D_xx11,
  k9D_xx7B,
  k9D_xx7C,
  k9D_xx7D,
  k9D_xx7E,
  k9D_xx02,
  k9D_xx21,
  k9D_xx42,
  kC8,
  kC8_4013,
  kC8_4012,
  kC8_4011,
  kC8_4010,
  kC8_4015,
  kProbe51,
  kC8_4018,
  kA1,
  kA1_3111,
  kA1_3110,
  k37,
  k37_xx16,
  kEF,
  kEF_4018,
  kEF_3013,
};

struct LabelledPart {
  Row row;
  FlashPartDescriptor part;
};

// One record from the values the tool uses. The slots the tool only carries (sector and block
// erase, fast read, power-down, signature and second identification commands) stay empty.
constexpr FlashPartDescriptor Part(std::uint32_t pageSize, FlashCommandSlot readId,
                                   FlashCommandSlot writeStatus, FlashCommandSlot prefix,
                                   std::uint32_t protectValue, FlashCommandSlot chipErase,
                                   std::uint32_t programIntervalMs, std::uint32_t readIntervalMs) {
  FlashPartDescriptor part{};
  part.pageSize = pageSize;
  part.writeEnable = kWriteEnable;
  part.writeDisable = kWriteDisable;
  part.readStatus = kReadStatus;
  part.writeStatus = writeStatus;
  part.readData = {0x03, 4, 0, readIntervalMs};
  part.pageProgram = {0x02, 4, 0, programIntervalMs};
  part.readId = readId;
  part.chipErase = chipErase;
  part.writeStatusPrefix = prefix;
  part.protection = {0, 0, protectValue, 0};
  return part;
}

}  // namespace

namespace {

// The order is the probe order; position 0 is a generic part with long intervals, probed first.
// Columns: row, page size, read identification, status write, status-write prefix, protect value,
// chip erase, program interval (ms), read interval (ms).
// clang-format off
constexpr std::array<LabelledPart, kFlashPartCount> kRows{{
    {Row::kGeneric, Part(256, kId9F, Status1(5),     kNoPrefix,   0x0C, Erase(0x60, 1000), 5, 5)},
    {Row::kC2,      Part(256, kId9F, Status1(5),     kNoPrefix,   0x0C, Erase(0xC7, 1000), 1, 1)},
    {Row::kProbe2,  Part(256, kId9F, Status1(5),     kNoPrefix,   0x0C, Erase(0x60, 1000), 1, 1)},
    {Row::kC2_10,   Part(256, kId9F, Status1(10),    kNoPrefix,   0x0C, Erase(0x60, 1000), 1, 1)},
    {Row::kProbe4,  Part(256, kId9F, Status1(10),    kNoPrefix,   0x0C, Erase(0x60, 1000), 1, 1)},
    {Row::kProbe5,  Part( 32, kId9F, Status1(5),     kNoPrefix,   0x0C, Erase(0x60, 1000), 1, 1)},
    {Row::kC2_2211, Part( 32, kId9F, Status1(5),     kNoPrefix,   0x0C, Erase(0x60, 1500), 1, 1)},
    {Row::kC2_16,   Part(256, kId9F, Status1(40),    kNoPrefix,   0x3C, Erase(0x60, 9999), 1, 1)},
    {Row::kProbe8,  Part(256, kId9F, Status1(40),    kNoPrefix,   0x3C, Erase(0x60, 9999), 1, 1)},
    {Row::kC2_19,   Part(256, kId9F, Status1(40),    kNoPrefix,   0x3C, Erase(0x60, 9999), 1, 1)},
    {Row::kC2_05,   Part(256, kId9F, Status1(5),     kNoPrefix,   0x0C, Erase(0x60, 400),  1, 1)},
    {Row::kC2_17,   Part(256, kId9F, Status1(40),    kNoPrefix,   0x3C, Erase(0x60, 9999), 1, 1)},
    {Row::kC2_2012, Part(256, kId9F, Status1(64),    kNoPrefix,   0x3C, Erase(0x60, 1700), 1, 5)},
    {Row::kC2_2311, Part(256, kId9F, Status2(30),    kNoPrefix,   0x3C, Erase(0x60, 700),  1, 1)},
    {Row::k1F,      Part(256, kId15, Status1(60),    kNoPrefix,   0x0C, Erase(0x62, 1100), 1, 1)},
    {Row::kProbe15, Part(256, kId15, Status1(60),    kNoPrefix,   0x0C, Erase(0x62, 1100), 1, 1)},
    {Row::kProbe16, Part(256, kId15, Status1(60),    kNoPrefix,   0x0C, Erase(0x62, 1100), 1, 1)},
    {Row::k1F_65,   Part(128, kId15, Status1(60),    kNoPrefix,   0x0C, Erase(0x62, 1100), 1, 1)},
    {Row::k1F_47,   Part(256, kId9F, Status1(1),     kNoPrefix,   0x3C, Erase(0x60, 9000), 1, 1)},
    {Row::k1F_87,   Part(256, kId9F, Status1(15),    kNoPrefix,   0x3C, Erase(0xC7, 5000), 1, 1)},
    {Row::k1C,      Part(256, kId9F, Status1(10),    kNoPrefix,   0x0C, Erase(0xC7, 1000), 1, 1)},
    {Row::k1C_2010, Part(256, kId9F, Status1(10),    kNoPrefix,   0x0C, Erase(0xC7, 1000), 1, 1)},
    {Row::k1C_7015, Part(256, kId9F, Status1(15),    kNoPrefix,   0x0C, Erase(0xC7, 6000), 1, 1)},
    {Row::k8C,      Part(256, kId90, Status1(5),     kNoPrefix,   0x08, Erase(0x60, 1000), 2, 1)},
    {Row::k8C_3011, Part(256, kId90, Status1(5),     kNoPrefix,   0x08, Erase(0x60, 1000), 2, 1)},
    {Row::k20,      Part(256, kId9F, Status1(5),     kNoPrefix,   0x0C, Erase(0xC7, 850),  1, 1)},
    {Row::k20_xx10, Part(256, kId9F, Status1(5),     kNoPrefix,   0x0C, Erase(0xC7, 850),  1, 1)},
    {Row::k20_xx11, Part(256, kId9F, Status1(5),     kNoPrefix,   0x0C, Erase(0xC7, 1700), 1, 1)},
    {Row::kBF,      Part(256, kId90, Status1(10),    kPrefix,     0x0C, Erase(0x60, 100),  1, 1)},
    {Row::kBF_xx48, Part(256, kId90, Status1(10),    kPrefix,     0x0C, Erase(0x60, 100),  1, 1)},
    {Row::kBF_xx4B, Part(256, kId9F, Status1(1),     kPrefix,     0x3C, Erase(0x60, 50),   2, 1)},
    {Row::kBF_xx26, Part(256, kId9F, kNoStatusWrite, kNoPrefix,   0x00, Erase(0xC7, 50),   1, 1)},
    {Row::kProbe32, Part(256, kId9F, kNoStatusWrite, kNoPrefix,   0x00, Erase(0xC7, 50),   1, 1)},
    {Row::kE0,      Part(256, kId9F, Status2(10),    kPrefixLen0, 0x1C, Erase(0xC7, 4000), 1, 1)},
    {Row::kE0_4013, Part(256, kId9F, Status2(10),    kPrefixLen0, 0x1C, Erase(0xC7, 4000), 1, 1)},
    {Row::k9D,      Part(256, kIdAB, Status1(10),    kNoPrefix,   0x1C, Erase(0xC7, 15),   2, 1)},
    {Row::k9D_xx10, Part(256, kIdAB, Status1(10),    kNoPrefix,   0x1C, Erase(0xC7, 15),   2, 1)},
    {Row::k9D_xx11, Part(256, kIdAB, Status1(10),    kNoPrefix,   0x1C, Erase(0xC7, 15),   2, 1)},
    {Row::k9D_xx7B, Part(256, kIdAB, Status1(60),    kNoPrefix,   0x1C, Erase(0xC7, 60),   2, 1)},
    {Row::k9D_xx7C, Part(256, kIdAB, Status1(60),    kNoPrefix,   0x1C, Erase(0xC7, 60),   2, 1)},
    {Row::k9D_xx7D, Part(256, kIdAB, Status1(60),    kNoPrefix,   0x1C, Erase(0xC7, 60),   2, 1)},
    {Row::k9D_xx7E, Part(256, kIdAB, Status1(60),    kNoPrefix,   0x1C, Erase(0xC7, 60),   2, 1)},
    {Row::k9D_xx02, Part(256, kIdAB, Status1(2),     kNoPrefix,   0x1C, Erase(0xC7, 2),    2, 1)},
    {Row::k9D_xx21, Part(256, kIdAB, Status1(2),     kNoPrefix,   0x1C, Erase(0xC7, 400),  2, 1)},
    {Row::k9D_xx42, Part(256, kIdAB, Status1(2),     kNoPrefix,   0x1C, Erase(0xC7, 750),  2, 1)},
    {Row::kC8,      Part(256, kId9F, Status2(2),     kNoPrefix,   0x7C, Erase(0xC7, 1000), 1, 1)},
    {Row::kC8_4013, Part(256, kId9F, Status2(10),    kNoPrefix,   0x7C, Erase(0xC7, 3000), 1, 1)},
    {Row::kC8_4012, Part(256, kId9F, Status2(10),    kNoPrefix,   0x7C, Erase(0xC7, 2000), 1, 1)},
    {Row::kC8_4011, Part(256, kId9F, Status2(10),    kNoPrefix,   0x7C, Erase(0xC7, 1000), 1, 1)},
    {Row::kC8_4010, Part(256, kId9F, Status2(10),    kNoPrefix,   0x7C, Erase(0xC7, 500),  1, 1)},
    {Row::kC8_4015, Part(256, kId9F, Status2(2),     kNoPrefix,   0x7C, Erase(0xC7, 5000), 1, 1)},
    {Row::kProbe51, Part(256, kId9F, Status2(16),    kNoPrefix,   0x7C, Erase(0xC7, 800),  1, 1)},
    {Row::kC8_4018, Part(256, kId9F, Status1(5),     kNoPrefix,   0x7C, Erase(0xC7, 5000), 1, 1)},
    {Row::kA1,      Part(256, kId9F, Status1(10),    kNoPrefix,   0x08, Erase(0x60, 1500), 2, 1)},
    {Row::kA1_3111, Part(256, kId9F, Status1(10),    kNoPrefix,   0x08, Erase(0x60, 1500), 2, 1)},
    {Row::kA1_3110, Part(256, kId9F, Status1(10),    kNoPrefix,   0x08, Erase(0x60, 700),  2, 1)},
    {Row::k37,      Part(256, kId9F, Status2(5),     kNoPrefix,   0x1C, Erase(0x60, 8000), 2, 1)},
    {Row::k37_xx16, Part(256, kId9F, Status2(5),     kNoPrefix,   0x1C, Erase(0xC7, 8000), 2, 1)},
    {Row::kEF,      Part(256, kId9F, Status1(10),    kNoPrefix,   0x1C, Erase(0x60, 1000), 1, 1)},
    {Row::kEF_4018, Part(256, kId9F, Status1(10),    kNoPrefix,   0x1C, Erase(0xC7, 8000), 1, 1)},
    {Row::kEF_3013, Part(256, kId9F, Status1(16),    kNoPrefix,   0x1C, Erase(0xC7, 1000), 1, 1)},
}};
// clang-format on

consteval bool RowsInTableOrder() {
  for (std::size_t i = 0; i < kRows.size(); ++i) {
    if (static_cast<std::size_t>(kRows[i].row) != i) return false;
  }
  return true;
}
static_assert(RowsInTableOrder());

constexpr std::array<FlashPartDescriptor, kFlashPartCount> Unlabelled() {
  std::array<FlashPartDescriptor, kFlashPartCount> parts{};
  for (std::size_t i = 0; i < kRows.size(); ++i) parts[i] = kRows[i].part;
  return parts;
}

}  // namespace

constexpr std::array<FlashPartDescriptor, kFlashPartCount> FlashPartTable = Unlabelled();

namespace {

// The read-identification opcodes a rule applies to, as a set.
enum class IdOpcodes : std::uint8_t { kNone = 0, k9F = 1, k90 = 2, kAB = 4, k15 = 8 };

constexpr IdOpcodes operator|(IdOpcodes a, IdOpcodes b) {
  return static_cast<IdOpcodes>(static_cast<std::uint8_t>(a) | static_cast<std::uint8_t>(b));
}

constexpr bool Overlap(IdOpcodes a, IdOpcodes b) {
  return (static_cast<std::uint8_t>(a) & static_cast<std::uint8_t>(b)) != 0;
}

// The opcode is in the low byte of the slot's opcode field.
constexpr IdOpcodes FromOpcode(std::uint32_t opcode) {
  switch (opcode & 0xFF) {
    case 0x9F:
      return IdOpcodes::k9F;
    case 0x90:
      return IdOpcodes::k90;
    case 0xAB:
      return IdOpcodes::kAB;
    case 0x15:
      return IdOpcodes::k15;
    default:
      return IdOpcodes::kNone;
  }
}

constexpr IdOpcodes k9F = IdOpcodes::k9F;
constexpr IdOpcodes k90 = IdOpcodes::k90;
constexpr IdOpcodes kAB = IdOpcodes::kAB;
constexpr IdOpcodes k15 = IdOpcodes::k15;

// A manufacturer code (first reply byte) and the part it means when no rule picks another.
struct Manufacturer {
  std::uint8_t code;
  Row fallback;
};

constexpr std::array kManufacturers{
    Manufacturer{0x1C, Row::k1C}, Manufacturer{0x1F, Row::k1F}, Manufacturer{0x20, Row::k20},
    Manufacturer{0x37, Row::k37}, Manufacturer{0x8C, Row::k8C}, Manufacturer{0x9D, Row::k9D},
    Manufacturer{0xA1, Row::kA1}, Manufacturer{0xBF, Row::kBF}, Manufacturer{0xC2, Row::kC2},
    Manufacturer{0xC8, Row::kC8}, Manufacturer{0xE0, Row::kE0}, Manufacturer{0xEF, Row::kEF},
};

// A device rule: for these opcodes, reply bytes 2 to 4 equal to the given values (kAny: any
// value) select the row. No two rules can match the same reply (checked below).
constexpr int kAny = -1;

struct DeviceRule {
  std::uint8_t manufacturer;
  IdOpcodes opcodes;
  int second;
  int third;
  int fourth;
  Row row;
};

// clang-format off
constexpr std::array kDeviceRules{
    //         maker opcodes          second third fourth row
    DeviceRule{0x1C, k90,             0x05, kAny, kAny, Row::k1C_2010},
    DeviceRule{0x1C, k90,             0x14, kAny, kAny, Row::k1C_7015},
    DeviceRule{0x1C, k9F,             0x20, 0x10, kAny, Row::k1C_2010},
    DeviceRule{0x1C, k9F,             0x70, 0x15, kAny, Row::k1C_7015},

    DeviceRule{0x1F, k9F | k15,       0x47, kAny, kAny, Row::k1F_47},
    DeviceRule{0x1F, k9F | k15,       0x65, kAny, kAny, Row::k1F_65},
    DeviceRule{0x1F, k9F | k15,       0x87, kAny, kAny, Row::k1F_87},

    DeviceRule{0x20, k9F,             kAny, 0x10, kAny, Row::k20_xx10},
    DeviceRule{0x20, k9F,             kAny, 0x11, kAny, Row::k20_xx11},

    DeviceRule{0x37, k90,             0x15, kAny, kAny, Row::k37_xx16},
    DeviceRule{0x37, k9F,             kAny, 0x16, kAny, Row::k37_xx16},

    DeviceRule{0x8C, k9F,             0x30, 0x11, kAny, Row::k8C_3011},

    DeviceRule{0x9D, k9F,             kAny, 0x10, kAny, Row::k9D_xx10},
    DeviceRule{0x9D, k9F,             kAny, 0x11, kAny, Row::k9D_xx11},
    DeviceRule{0x9D, k9F,             kAny, 0x7B, kAny, Row::k9D_xx7B},
    DeviceRule{0x9D, k9F,             kAny, 0x7C, kAny, Row::k9D_xx7C},
    DeviceRule{0x9D, k9F,             kAny, 0x7D, kAny, Row::k9D_xx7D},
    DeviceRule{0x9D, k9F,             kAny, 0x7E, kAny, Row::k9D_xx7E},
    DeviceRule{0x9D, k9F,             kAny, 0x02, kAny, Row::k9D_xx02},
    DeviceRule{0x9D, k9F,             kAny, 0x21, kAny, Row::k9D_xx21},
    DeviceRule{0x9D, k9F,             kAny, 0x42, kAny, Row::k9D_xx42},
    DeviceRule{0x9D, kAB,             0x10, kAny, kAny, Row::k9D_xx10},
    DeviceRule{0x9D, kAB,             0x11, kAny, kAny, Row::k9D_xx11},
    DeviceRule{0x9D, kAB,             0x7B, kAny, kAny, Row::k9D_xx7B},
    DeviceRule{0x9D, kAB,             0x7C, kAny, kAny, Row::k9D_xx7C},
    DeviceRule{0x9D, kAB,             0x7D, kAny, kAny, Row::k9D_xx7D},
    DeviceRule{0x9D, kAB,             0x7E, kAny, kAny, Row::k9D_xx7E},
    DeviceRule{0x9D, kAB,             0x02, kAny, kAny, Row::k9D_xx02},

    DeviceRule{0xA1, k90 | k9F | kAB, 0x31, 0x11, kAny, Row::kA1_3111},
    DeviceRule{0xA1, k90 | k9F | kAB, 0x31, 0x10, kAny, Row::kA1_3110},

    DeviceRule{0xBF, k90 | k9F,       kAny, 0x48, kAny, Row::kBF_xx48},
    DeviceRule{0xBF, k90 | k9F,       kAny, 0x4B, kAny, Row::kBF_xx4B},
    DeviceRule{0xBF, k90 | k9F,       kAny, 0x26, 1,    Row::kBF_xx26},
    DeviceRule{0xBF, k90 | k9F,       kAny, 0x26, 2,    Row::kBF_xx26},

    DeviceRule{0xC2, k90,             0x10, kAny, kAny, Row::kC2_10},
    DeviceRule{0xC2, k90,             0x16, kAny, kAny, Row::kC2_16},
    DeviceRule{0xC2, k90,             0x19, kAny, kAny, Row::kC2_19},
    DeviceRule{0xC2, k90,             0x05, kAny, kAny, Row::kC2_05},
    DeviceRule{0xC2, k90,             0x17, kAny, kAny, Row::kC2_17},
    DeviceRule{0xC2, k9F,             0x22, 0x11, kAny, Row::kC2_2211},
    DeviceRule{0xC2, k9F,             0x20, 0x12, kAny, Row::kC2_2012},
    DeviceRule{0xC2, k9F,             0x23, 0x11, kAny, Row::kC2_2311},

    DeviceRule{0xC8, k90,             0x12, kAny, kAny, Row::kC8_4013},
    DeviceRule{0xC8, k90,             0x11, kAny, kAny, Row::kC8_4012},
    DeviceRule{0xC8, k90,             0x10, kAny, kAny, Row::kC8_4011},
    DeviceRule{0xC8, k90,             0x05, kAny, kAny, Row::kC8_4010},
    DeviceRule{0xC8, k90,             0x14, kAny, kAny, Row::kC8_4015},
    DeviceRule{0xC8, k90,             0x17, kAny, kAny, Row::kC8_4018},
    DeviceRule{0xC8, k9F,             0x40, 0x13, kAny, Row::kC8_4013},
    DeviceRule{0xC8, k9F,             0x40, 0x12, kAny, Row::kC8_4012},
    DeviceRule{0xC8, k9F,             0x40, 0x11, kAny, Row::kC8_4011},
    DeviceRule{0xC8, k9F,             0x40, 0x10, kAny, Row::kC8_4010},
    DeviceRule{0xC8, k9F,             0x40, 0x15, kAny, Row::kC8_4015},
    DeviceRule{0xC8, k9F,             0x40, 0x18, kAny, Row::kC8_4018},

    DeviceRule{0xE0, k90 | k9F | kAB, 0x40, 0x13, kAny, Row::kE0_4013},

    DeviceRule{0xEF, k90 | kAB,       0x17, kAny, kAny, Row::kEF_4018},
    DeviceRule{0xEF, k90 | kAB,       0x12, kAny, kAny, Row::kEF_3013},
    DeviceRule{0xEF, k9F,             0x40, 0x18, kAny, Row::kEF_4018},
    DeviceRule{0xEF, k9F,             0x30, 0x13, kAny, Row::kEF_3013},
};
// clang-format on

// The listed manufacturer with this code, or null.
constexpr const Manufacturer* FindManufacturer(std::uint8_t code) {
  for (const Manufacturer& maker : kManufacturers) {
    if (maker.code == code) return &maker;
  }
  return nullptr;
}

constexpr bool ByteMatches(int wanted, std::uint8_t actual) {
  return wanted == kAny || wanted == actual;
}

constexpr bool Compatible(int a, int b) {
  return a == kAny || b == kAny || a == b;
}

constexpr bool IsRow(Row row) {
  const auto position = static_cast<std::int32_t>(row);
  return position >= 0 && static_cast<std::size_t>(position) < kFlashPartCount;
}

// Every rule belongs to a listed manufacturer and names a record, and the rules are disjoint, so
// their order does not matter.
consteval bool RulesAreSound() {
  for (const Manufacturer& maker : kManufacturers) {
    if (!IsRow(maker.fallback)) return false;
  }
  for (std::size_t i = 0; i < kDeviceRules.size(); ++i) {
    const DeviceRule& rule = kDeviceRules[i];
    if (!IsRow(rule.row)) return false;
    if (FindManufacturer(rule.manufacturer) == nullptr) return false;
    for (std::size_t j = i + 1; j < kDeviceRules.size(); ++j) {
      const DeviceRule& other = kDeviceRules[j];
      if (rule.manufacturer == other.manufacturer && Overlap(rule.opcodes, other.opcodes) &&
          Compatible(rule.second, other.second) && Compatible(rule.third, other.third) &&
          Compatible(rule.fourth, other.fourth)) {
        return false;
      }
    }
  }
  return true;
}
static_assert(RulesAreSound());

}  // namespace

FlashPartMatch FindFlashPart(std::uint32_t reply, std::uint32_t readIdOpcode) {
  const auto code = static_cast<std::uint8_t>(reply);
  const auto second = static_cast<std::uint8_t>(reply >> 8);
  const auto third = static_cast<std::uint8_t>(reply >> 16);
  const auto fourth = static_cast<std::uint8_t>(reply >> 24);

  const Manufacturer* maker = FindManufacturer(code);
  if (maker == nullptr) return {nullptr, -1};

  Row row = maker->fallback;
  const IdOpcodes opcode = FromOpcode(readIdOpcode);
  for (const DeviceRule& rule : kDeviceRules) {
    if (rule.manufacturer == code && Overlap(rule.opcodes, opcode) &&
        ByteMatches(rule.second, second) && ByteMatches(rule.third, third) &&
        ByteMatches(rule.fourth, fourth)) {
      row = rule.row;
      break;
    }
  }
  const auto position = static_cast<std::int32_t>(row);
  return {&FlashPartTable[static_cast<std::size_t>(position)], position};
}

}  // namespace tr350
