// The reader's USB mass-storage side as the host's storage stack sees it: bulk-only command and
// status wrappers, the standard SCSI commands of a small RAM medium, and the vendor opcodes handed
// to the emulated reader.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "emulator/reader.h"

namespace tr350::kernel_test {

inline constexpr std::size_t kCbwSize = 31;
inline constexpr std::size_t kCswSize = 13;

// A command block wrapper; its fields are little-endian on the wire.
struct CommandBlock {
  std::uint32_t tag = 0;
  std::uint32_t transferLength = 0;
  bool dataIn = false;
  std::vector<std::uint8_t> cdb;
};

// Nullopt for anything but a well-formed 31-byte wrapper.
std::optional<CommandBlock> ParseCommandBlock(std::span<const std::uint8_t> bytes);

enum class CommandStatus : std::uint8_t { kPassed = 0, kFailed = 1, kPhaseError = 2 };

std::array<std::uint8_t, kCswSize> StatusWrapper(std::uint32_t tag, std::uint32_t residue,
                                                 CommandStatus status);

// Answers one command at a time (not thread-safe: the bulk endpoints are served by one thread).
class MassStorage {
 public:
  MassStorage(std::shared_ptr<emulator::Reader> reader, std::uint32_t mediumSectors);

  struct Result {
    CommandStatus status = CommandStatus::kPassed;
    std::uint32_t residue = 0;
  };
  // `data` is the whole data phase the host announced: filled for data-in, read for data-out.
  Result Execute(const CommandBlock& command, std::span<std::uint8_t> data);

  std::span<const std::uint8_t> Medium() const { return medium_; }

 private:
  Result Standard(std::span<const std::uint8_t> cdb, std::span<std::uint8_t> data, bool dataIn);
  Result Vendor(const CommandBlock& command, std::span<std::uint8_t> data);
  Result Fail(emulator::SenseKey key, std::uint8_t asc, std::size_t length);
  Result Reply(std::span<const std::uint8_t> answer, std::span<std::uint8_t> data);

  std::shared_ptr<emulator::Reader> reader_;
  std::vector<std::uint8_t> medium_;
  emulator::SenseData sense_{};  // reported by the next REQUEST SENSE, then cleared
};

}  // namespace tr350::kernel_test
