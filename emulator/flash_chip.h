// A serial NOR flash chip as seen on its SPI pins: identification answers, a status register with
// busy, write-enable latch and block-protect bits, page program, chip erase and read, with program
// and erase taking their time.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tr350::emulator {

// Up to four bytes a chip drives in answer to one identification command, repeated for as long as
// the host keeps clocking. Length 0: the chip ignores that command and its output floats high.
struct IdAnswer {
  std::array<std::uint8_t, 4> bytes{};
  std::uint8_t length = 0;

  constexpr bool Supported() const { return length != 0; }
  constexpr std::uint8_t At(std::size_t i) const { return bytes[i % length]; }
};

template <typename... B>
constexpr IdAnswer Id(B... b) {
  static_assert(sizeof...(B) >= 1 && sizeof...(B) <= 4);
  return IdAnswer{{static_cast<std::uint8_t>(b)...}, static_cast<std::uint8_t>(sizeof...(B))};
}

// Which identification commands a chip answers, and how.
struct ChipIdentity {
  IdAnswer jedec{};               // 0x9F
  IdAnswer manufacturerDevice{};  // 0x90 + 3 address bytes; an odd address starts one byte later
  IdAnswer signature{};           // 0xAB + 3 dummy bytes
  IdAnswer productId{};           // 0x15
};

struct FlashChipTraits {
  std::string_view name;
  std::uint32_t capacity = 512 * 1024;  // bytes; addresses wrap at the end
  std::uint16_t pageSize = 256;         // the program buffer; programs wrap inside one page
  std::uint8_t statusWidth = 1;         // status bytes 0x01 takes (1 or 2); 0: no 0x01 command
  bool needsWriteStatusPrefix = false;  // 0x50 must come right before 0x01
  std::uint8_t protectBits = 0x0C;      // block-protect bits of the first status byte
  std::array<std::uint8_t, 2> eraseOpcodes = {0xC7, 0x60};  // chip-erase opcodes; 0 = unused
  std::uint32_t eraseMs = 1000;
  std::uint32_t programUs = 700;
  std::uint32_t writeStatusUs = 5000;
  ChipIdentity identity;
};

// Flash opcodes the chip model knows.
namespace flash_op {
inline constexpr std::uint8_t kWriteStatus = 0x01;
inline constexpr std::uint8_t kPageProgram = 0x02;
inline constexpr std::uint8_t kReadData = 0x03;
inline constexpr std::uint8_t kWriteDisable = 0x04;
inline constexpr std::uint8_t kReadStatus = 0x05;
inline constexpr std::uint8_t kWriteEnable = 0x06;
inline constexpr std::uint8_t kReadProductId = 0x15;
inline constexpr std::uint8_t kReadStatus2 = 0x35;
inline constexpr std::uint8_t kEnableWriteStatus = 0x50;
inline constexpr std::uint8_t kChipErase60 = 0x60;
inline constexpr std::uint8_t kChipErase62 = 0x62;
inline constexpr std::uint8_t kReadManufacturerDevice = 0x90;
inline constexpr std::uint8_t kReadJedecId = 0x9F;
inline constexpr std::uint8_t kReadSignature = 0xAB;
inline constexpr std::uint8_t kChipEraseC7 = 0xC7;
}  // namespace flash_op

inline constexpr std::uint8_t kStatusBusy = 0x01;
inline constexpr std::uint8_t kStatusWriteEnableLatch = 0x02;

// What one transaction did inside the chip; recorded so that tests can see why a command had no
// effect.
enum class FlashEffect : std::uint8_t {
  kNothing,           // no bytes were clocked
  kAnswered,          // a read, status read or identification
  kUnsupported,       // unknown opcode: ignored, output floats high
  kIgnoredBusy,       // only the status read is answered while busy
  kIgnoredMalformed,  // chip select rose after the wrong number of bytes
  kIgnoredNoWriteEnable,
  kIgnoredNoPrefix,
  kIgnoredProtected,
  kWriteEnabled,
  kWriteDisabled,
  kPrefixAccepted,
  kStatusWriteStarted,
  kProgramStarted,
  kEraseStarted,
};

class FlashChip {
 public:
  explicit FlashChip(const FlashChipTraits& traits);

  const FlashChipTraits& Traits() const { return traits_; }

  // One transaction with chip select held low. Every byte of `mosi` is clocked in while `miso`
  // (same size) receives what the chip drives, 0xFF where it drives nothing. Writes take effect
  // as chip select rises at the end. `nowUs` is the time of the transaction.
  FlashEffect Transfer(std::span<const std::uint8_t> mosi, std::span<std::uint8_t> miso,
                       std::uint64_t nowUs);

  // Finishes a program, erase or status write whose time has come.
  void Advance(std::uint64_t nowUs);

  // Views and presets that bypass the bus; call Advance first to see finished operations.
  bool Busy() const { return stuckBusy_ || pending_.has_value(); }
  bool WriteEnabled() const { return writeEnabled_; }
  // The status register as 0x05 (low byte) and 0x35 (high byte) read it.
  std::uint16_t Status() const;
  std::vector<std::uint8_t> Peek(std::uint32_t address, std::uint32_t length) const;
  void Preset(std::uint32_t address, std::span<const std::uint8_t> bytes);
  // Sets the writable status bits (busy and the latch are not stored bits).
  void PresetStatus(std::uint16_t status);

  // Faults: a chip whose busy bit never clears; a chip that answers every identification command
  // with an unknown manufacturer code.
  void SetStuckBusy(bool stuck) { stuckBusy_ = stuck; }
  void SetUnknownIdentity(bool unknown) { unknownIdentity_ = unknown; }
  // The chip loses power: a hung chip comes back, and the latch and status-write prefix are gone.
  // A program or erase under way still completes; the identity is the chip's own and stays.
  void PowerLost();

 private:
  static constexpr std::uint32_t kBlockSize = 4096;
  using Block = std::array<std::uint8_t, kBlockSize>;

  enum class Operation : std::uint8_t { kProgram, kErase, kWriteStatus };
  struct Pending {
    Operation operation;
    std::uint64_t doneUs;
    std::uint32_t pageBase = 0;
    std::vector<std::uint8_t> page{};  // program: the page buffer, 0xFF where nothing was loaded
    std::array<std::uint8_t, 2> status{};
    std::size_t statusCount = 0;
  };

  FlashEffect Execute(std::uint8_t opcode, std::span<const std::uint8_t> mosi,
                      std::span<std::uint8_t> miso, bool prefixed, std::uint64_t nowUs);
  FlashEffect AnswerIdentification(std::uint8_t opcode, std::span<const std::uint8_t> mosi,
                                   std::span<std::uint8_t> miso) const;
  bool Protected() const { return (status1_ & traits_.protectBits) != 0; }
  bool IsEraseOpcode(std::uint8_t opcode) const;
  std::uint32_t Wrap(std::uint64_t address) const {
    return static_cast<std::uint32_t>(address % traits_.capacity);
  }
  std::uint8_t ByteAt(std::uint32_t address) const;
  void AndByte(std::uint32_t address, std::uint8_t value);
  void SetByte(std::uint32_t address, std::uint8_t value);
  Block& BlockFor(std::uint32_t address);

  FlashChipTraits traits_;
  // Erased blocks are absent, so a chip of any size costs only what was programmed.
  std::unordered_map<std::uint32_t, std::unique_ptr<Block>> blocks_;
  std::uint8_t status1_ = 0;  // stored bits 2-7 of the first status byte
  std::uint8_t status2_ = 0;
  bool writeEnabled_ = false;
  bool prefixArmed_ = false;
  std::optional<Pending> pending_;
  bool stuckBusy_ = false;
  bool unknownIdentity_ = false;
};

}  // namespace tr350::emulator
