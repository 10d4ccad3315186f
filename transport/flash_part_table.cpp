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

// The order is the probe order; position 0 is a generic part with long intervals, probed first.
// Columns: page size, read identification, status write, status-write prefix, protect value, chip
// erase, program interval (ms), read interval (ms).
// clang-format off
constexpr std::array<FlashPartDescriptor, kFlashPartCount> FlashPartTable{{
    Part(256, kId9F, Status1(5),     kNoPrefix,    0x0C, Erase(0x60, 1000),  5, 5),  // 0
    Part(256, kId9F, Status1(5),     kNoPrefix,    0x0C, Erase(0xC7, 1000),  1, 1),  // 1
    Part(256, kId9F, Status1(5),     kNoPrefix,    0x0C, Erase(0x60, 1000),  1, 1),  // 2
    Part(256, kId9F, Status1(10),    kNoPrefix,    0x0C, Erase(0x60, 1000),  1, 1),  // 3
    Part(256, kId9F, Status1(10),    kNoPrefix,    0x0C, Erase(0x60, 1000),  1, 1),  // 4
    Part( 32, kId9F, Status1(5),     kNoPrefix,    0x0C, Erase(0x60, 1000),  1, 1),  // 5
    Part( 32, kId9F, Status1(5),     kNoPrefix,    0x0C, Erase(0x60, 1500),  1, 1),  // 6
    Part(256, kId9F, Status1(40),    kNoPrefix,    0x3C, Erase(0x60, 9999),  1, 1),  // 7
    Part(256, kId9F, Status1(40),    kNoPrefix,    0x3C, Erase(0x60, 9999),  1, 1),  // 8
    Part(256, kId9F, Status1(40),    kNoPrefix,    0x3C, Erase(0x60, 9999),  1, 1),  // 9
    Part(256, kId9F, Status1(5),     kNoPrefix,    0x0C, Erase(0x60, 400),   1, 1),  // 10
    Part(256, kId9F, Status1(40),    kNoPrefix,    0x3C, Erase(0x60, 9999),  1, 1),  // 11
    Part(256, kId9F, Status1(64),    kNoPrefix,    0x3C, Erase(0x60, 1700),  1, 5),  // 12
    Part(256, kId9F, Status2(30),    kNoPrefix,    0x3C, Erase(0x60, 700),   1, 1),  // 13
    Part(256, kId15, Status1(60),    kNoPrefix,    0x0C, Erase(0x62, 1100),  1, 1),  // 14
    Part(256, kId15, Status1(60),    kNoPrefix,    0x0C, Erase(0x62, 1100),  1, 1),  // 15
    Part(256, kId15, Status1(60),    kNoPrefix,    0x0C, Erase(0x62, 1100),  1, 1),  // 16
    Part(128, kId15, Status1(60),    kNoPrefix,    0x0C, Erase(0x62, 1100),  1, 1),  // 17
    Part(256, kId9F, Status1(1),     kNoPrefix,    0x3C, Erase(0x60, 9000),  1, 1),  // 18
    Part(256, kId9F, Status1(15),    kNoPrefix,    0x3C, Erase(0xC7, 5000),  1, 1),  // 19
    Part(256, kId9F, Status1(10),    kNoPrefix,    0x0C, Erase(0xC7, 1000),  1, 1),  // 20
    Part(256, kId9F, Status1(10),    kNoPrefix,    0x0C, Erase(0xC7, 1000),  1, 1),  // 21
    Part(256, kId9F, Status1(15),    kNoPrefix,    0x0C, Erase(0xC7, 6000),  1, 1),  // 22
    Part(256, kId90, Status1(5),     kNoPrefix,    0x08, Erase(0x60, 1000),  2, 1),  // 23
    Part(256, kId90, Status1(5),     kNoPrefix,    0x08, Erase(0x60, 1000),  2, 1),  // 24
    Part(256, kId9F, Status1(5),     kNoPrefix,    0x0C, Erase(0xC7, 850),   1, 1),  // 25
    Part(256, kId9F, Status1(5),     kNoPrefix,    0x0C, Erase(0xC7, 850),   1, 1),  // 26
    Part(256, kId9F, Status1(5),     kNoPrefix,    0x0C, Erase(0xC7, 1700),  1, 1),  // 27
    Part(256, kId90, Status1(10),    kPrefix,      0x0C, Erase(0x60, 100),   1, 1),  // 28
    Part(256, kId90, Status1(10),    kPrefix,      0x0C, Erase(0x60, 100),   1, 1),  // 29
    Part(256, kId9F, Status1(1),     kPrefix,      0x3C, Erase(0x60, 50),    2, 1),  // 30
    Part(256, kId9F, kNoStatusWrite, kNoPrefix,    0x00, Erase(0xC7, 50),    1, 1),  // 31
    Part(256, kId9F, kNoStatusWrite, kNoPrefix,    0x00, Erase(0xC7, 50),    1, 1),  // 32
    Part(256, kId9F, Status2(10),    kPrefixLen0,  0x1C, Erase(0xC7, 4000),  1, 1),  // 33
    Part(256, kId9F, Status2(10),    kPrefixLen0,  0x1C, Erase(0xC7, 4000),  1, 1),  // 34
    Part(256, kIdAB, Status1(10),    kNoPrefix,    0x1C, Erase(0xC7, 15),    2, 1),  // 35
    Part(256, kIdAB, Status1(10),    kNoPrefix,    0x1C, Erase(0xC7, 15),    2, 1),  // 36
    Part(256, kIdAB, Status1(10),    kNoPrefix,    0x1C, Erase(0xC7, 15),    2, 1),  // 37
    Part(256, kIdAB, Status1(60),    kNoPrefix,    0x1C, Erase(0xC7, 60),    2, 1),  // 38
    Part(256, kIdAB, Status1(60),    kNoPrefix,    0x1C, Erase(0xC7, 60),    2, 1),  // 39
    Part(256, kIdAB, Status1(60),    kNoPrefix,    0x1C, Erase(0xC7, 60),    2, 1),  // 40
    Part(256, kIdAB, Status1(60),    kNoPrefix,    0x1C, Erase(0xC7, 60),    2, 1),  // 41
    Part(256, kIdAB, Status1(2),     kNoPrefix,    0x1C, Erase(0xC7, 2),     2, 1),  // 42
    Part(256, kIdAB, Status1(2),     kNoPrefix,    0x1C, Erase(0xC7, 400),   2, 1),  // 43
    Part(256, kIdAB, Status1(2),     kNoPrefix,    0x1C, Erase(0xC7, 750),   2, 1),  // 44
    Part(256, kId9F, Status2(2),     kNoPrefix,    0x7C, Erase(0xC7, 1000),  1, 1),  // 45
    Part(256, kId9F, Status2(10),    kNoPrefix,    0x7C, Erase(0xC7, 3000),  1, 1),  // 46
    Part(256, kId9F, Status2(10),    kNoPrefix,    0x7C, Erase(0xC7, 2000),  1, 1),  // 47
    Part(256, kId9F, Status2(10),    kNoPrefix,    0x7C, Erase(0xC7, 1000),  1, 1),  // 48
    Part(256, kId9F, Status2(10),    kNoPrefix,    0x7C, Erase(0xC7, 500),   1, 1),  // 49
    Part(256, kId9F, Status2(2),     kNoPrefix,    0x7C, Erase(0xC7, 5000),  1, 1),  // 50
    Part(256, kId9F, Status2(16),    kNoPrefix,    0x7C, Erase(0xC7, 800),   1, 1),  // 51
    Part(256, kId9F, Status1(5),     kNoPrefix,    0x7C, Erase(0xC7, 5000),  1, 1),  // 52
    Part(256, kId9F, Status1(10),    kNoPrefix,    0x08, Erase(0x60, 1500),  2, 1),  // 53
    Part(256, kId9F, Status1(10),    kNoPrefix,    0x08, Erase(0x60, 1500),  2, 1),  // 54
    Part(256, kId9F, Status1(10),    kNoPrefix,    0x08, Erase(0x60, 700),   2, 1),  // 55
    Part(256, kId9F, Status2(5),     kNoPrefix,    0x1C, Erase(0x60, 8000),  2, 1),  // 56
    Part(256, kId9F, Status2(5),     kNoPrefix,    0x1C, Erase(0xC7, 8000),  2, 1),  // 57
    Part(256, kId9F, Status1(10),    kNoPrefix,    0x1C, Erase(0x60, 1000),  1, 1),  // 58
    Part(256, kId9F, Status1(10),    kNoPrefix,    0x1C, Erase(0xC7, 8000),  1, 1),  // 59
    Part(256, kId9F, Status1(16),    kNoPrefix,    0x1C, Erase(0xC7, 1000),  1, 1),  // 60
}};
// clang-format on

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
  std::int32_t defaultPosition;
};

constexpr std::array kManufacturers{
    Manufacturer{0x1C, 20}, Manufacturer{0x1F, 14}, Manufacturer{0x20, 25}, Manufacturer{0x37, 56},
    Manufacturer{0x8C, 23}, Manufacturer{0x9D, 35}, Manufacturer{0xA1, 53}, Manufacturer{0xBF, 28},
    Manufacturer{0xC2, 1},  Manufacturer{0xC8, 45}, Manufacturer{0xE0, 33}, Manufacturer{0xEF, 58},
};

// A device rule: for these opcodes, reply bytes 2 to 4 equal to the given values (kAny: any
// value) select the position. No two rules can match the same reply (checked below).
constexpr int kAny = -1;

struct DeviceRule {
  std::uint8_t manufacturer;
  IdOpcodes opcodes;
  int second;
  int third;
  int fourth;
  std::int32_t position;
};

// clang-format off
constexpr std::array kDeviceRules{
    //         maker opcodes          second third fourth position
    DeviceRule{0x1C, k90,             0x05, kAny, kAny, 21},
    DeviceRule{0x1C, k90,             0x14, kAny, kAny, 22},
    DeviceRule{0x1C, k9F,             0x20, 0x10, kAny, 21},
    DeviceRule{0x1C, k9F,             0x70, 0x15, kAny, 22},

    DeviceRule{0x1F, k9F | k15,       0x47, kAny, kAny, 18},
    DeviceRule{0x1F, k9F | k15,       0x65, kAny, kAny, 17},
    DeviceRule{0x1F, k9F | k15,       0x87, kAny, kAny, 19},

    DeviceRule{0x20, k9F,             kAny, 0x10, kAny, 26},
    DeviceRule{0x20, k9F,             kAny, 0x11, kAny, 27},

    DeviceRule{0x37, k90,             0x15, kAny, kAny, 57},
    DeviceRule{0x37, k9F,             kAny, 0x16, kAny, 57},

    DeviceRule{0x8C, k9F,             0x30, 0x11, kAny, 24},

    DeviceRule{0x9D, k9F,             kAny, 0x10, kAny, 36},
    DeviceRule{0x9D, k9F,             kAny, 0x11, kAny, 37},
    DeviceRule{0x9D, k9F,             kAny, 0x7B, kAny, 38},
    DeviceRule{0x9D, k9F,             kAny, 0x7C, kAny, 39},
    DeviceRule{0x9D, k9F,             kAny, 0x7D, kAny, 40},
    DeviceRule{0x9D, k9F,             kAny, 0x7E, kAny, 41},
    DeviceRule{0x9D, k9F,             kAny, 0x02, kAny, 42},
    DeviceRule{0x9D, k9F,             kAny, 0x21, kAny, 43},
    DeviceRule{0x9D, k9F,             kAny, 0x42, kAny, 44},
    DeviceRule{0x9D, kAB,             0x10, kAny, kAny, 36},
    DeviceRule{0x9D, kAB,             0x11, kAny, kAny, 37},
    DeviceRule{0x9D, kAB,             0x7B, kAny, kAny, 38},
    DeviceRule{0x9D, kAB,             0x7C, kAny, kAny, 39},
    DeviceRule{0x9D, kAB,             0x7D, kAny, kAny, 40},
    DeviceRule{0x9D, kAB,             0x7E, kAny, kAny, 41},
    DeviceRule{0x9D, kAB,             0x02, kAny, kAny, 42},

    DeviceRule{0xA1, k90 | k9F | kAB, 0x31, 0x11, kAny, 54},
    DeviceRule{0xA1, k90 | k9F | kAB, 0x31, 0x10, kAny, 55},

    DeviceRule{0xBF, k90 | k9F,       kAny, 0x48, kAny, 29},
    DeviceRule{0xBF, k90 | k9F,       kAny, 0x4B, kAny, 30},
    DeviceRule{0xBF, k90 | k9F,       kAny, 0x26, 1,    31},
    DeviceRule{0xBF, k90 | k9F,       kAny, 0x26, 2,    31},

    DeviceRule{0xC2, k90,             0x10, kAny, kAny, 3},
    DeviceRule{0xC2, k90,             0x16, kAny, kAny, 7},
    DeviceRule{0xC2, k90,             0x19, kAny, kAny, 9},
    DeviceRule{0xC2, k90,             0x05, kAny, kAny, 10},
    DeviceRule{0xC2, k90,             0x17, kAny, kAny, 11},
    DeviceRule{0xC2, k9F,             0x22, 0x11, kAny, 6},
    DeviceRule{0xC2, k9F,             0x20, 0x12, kAny, 12},
    DeviceRule{0xC2, k9F,             0x23, 0x11, kAny, 13},

    DeviceRule{0xC8, k90,             0x12, kAny, kAny, 46},
    DeviceRule{0xC8, k90,             0x11, kAny, kAny, 47},
    DeviceRule{0xC8, k90,             0x10, kAny, kAny, 48},
    DeviceRule{0xC8, k90,             0x05, kAny, kAny, 49},
    DeviceRule{0xC8, k90,             0x14, kAny, kAny, 50},
    DeviceRule{0xC8, k90,             0x17, kAny, kAny, 52},
    DeviceRule{0xC8, k9F,             0x40, 0x13, kAny, 46},
    DeviceRule{0xC8, k9F,             0x40, 0x12, kAny, 47},
    DeviceRule{0xC8, k9F,             0x40, 0x11, kAny, 48},
    DeviceRule{0xC8, k9F,             0x40, 0x10, kAny, 49},
    DeviceRule{0xC8, k9F,             0x40, 0x15, kAny, 50},
    DeviceRule{0xC8, k9F,             0x40, 0x18, kAny, 52},

    DeviceRule{0xE0, k90 | k9F | kAB, 0x40, 0x13, kAny, 34},

    DeviceRule{0xEF, k90 | kAB,       0x17, kAny, kAny, 59},
    DeviceRule{0xEF, k90 | kAB,       0x12, kAny, kAny, 60},
    DeviceRule{0xEF, k9F,             0x40, 0x18, kAny, 59},
    DeviceRule{0xEF, k9F,             0x30, 0x13, kAny, 60},
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

constexpr bool IsPosition(std::int32_t position) {
  return position >= 0 && static_cast<std::size_t>(position) < kFlashPartCount;
}

// Every rule belongs to a listed manufacturer and names a record, and the rules are disjoint, so
// their order does not matter.
consteval bool RulesAreSound() {
  for (const Manufacturer& maker : kManufacturers) {
    if (!IsPosition(maker.defaultPosition)) return false;
  }
  for (std::size_t i = 0; i < kDeviceRules.size(); ++i) {
    const DeviceRule& rule = kDeviceRules[i];
    if (!IsPosition(rule.position)) return false;
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

  std::int32_t position = maker->defaultPosition;
  const IdOpcodes opcode = FromOpcode(readIdOpcode);
  for (const DeviceRule& rule : kDeviceRules) {
    if (rule.manufacturer == code && Overlap(rule.opcodes, opcode) &&
        ByteMatches(rule.second, second) && ByteMatches(rule.third, third) &&
        ByteMatches(rule.fourth, fourth)) {
      position = rule.position;
      break;
    }
  }
  return {&FlashPartTable[static_cast<std::size_t>(position)], position};
}

}  // namespace tr350
