// One SCSI command as it arrives at the emulated reader's USB boundary, and the reader's answer:
// SCSI status and fixed-format sense data.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

namespace tr350::emulator {

enum class DataDirection : std::uint8_t { kNone, kToDevice, kFromDevice };

// A command as the host's storage stack hands it over. `data` is the whole data phase: its size is
// the transfer length, and for kFromDevice the reader writes into it.
struct ScsiCommand {
  std::span<const std::uint8_t> cdb;
  DataDirection direction = DataDirection::kNone;
  std::span<std::uint8_t> data;
};

// Status byte values the reader produces. Other values may be injected as faults.
inline constexpr std::uint8_t kStatusGood = 0x00;
inline constexpr std::uint8_t kStatusCheckCondition = 0x02;

enum class SenseKey : std::uint8_t {
  kNoSense = 0x00,
  kNotReady = 0x02,
  kHardwareError = 0x04,
  kIllegalRequest = 0x05,
  kAbortedCommand = 0x0B,
};

// Additional sense codes the reader uses.
inline constexpr std::uint8_t kAscInvalidOpcode = 0x20;
inline constexpr std::uint8_t kAscLbaOutOfRange = 0x21;
inline constexpr std::uint8_t kAscInvalidFieldInCdb = 0x24;
inline constexpr std::uint8_t kAscNoAdditionalInfo = 0x00;

inline constexpr std::size_t kFixedSenseLength = 18;

struct SenseData {
  SenseKey key = SenseKey::kNoSense;
  std::uint8_t asc = 0;
  std::uint8_t ascq = 0;

  // Fixed format, current error (response code 0x70), 10 additional bytes.
  std::array<std::uint8_t, kFixedSenseLength> Bytes() const;
  friend bool operator==(const SenseData&, const SenseData&) = default;
};

struct ScsiOutcome {
  // False when the host's driver call failed: nothing was completed (device gone, bus error).
  bool delivered = false;
  std::uint8_t status = kStatusGood;
  std::optional<SenseData> sense;  // present with CHECK CONDITION

  static ScsiOutcome Good() { return {true, kStatusGood, std::nullopt}; }
  static ScsiOutcome NotDelivered() { return {false, kStatusGood, std::nullopt}; }
  static ScsiOutcome CheckCondition(SenseKey key, std::uint8_t asc, std::uint8_t ascq = 0) {
    return {true, kStatusCheckCondition, SenseData{key, asc, ascq}};
  }
  bool IsGood() const { return delivered && status == kStatusGood; }
};

}  // namespace tr350::emulator
