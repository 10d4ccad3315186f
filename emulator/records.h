// What the emulated reader records: every command it received, and every serial-flash transaction
// it carried to its flash chip.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "emulator/flash_chip.h"
#include "emulator/scsi.h"

namespace tr350::emulator {

struct CommandRecord {
  std::uint64_t index = 0;       // order of arrival at this reader, from 0, never reused
  std::uint64_t attachment = 0;  // which attachment to the bus it arrived on
  std::uint8_t opcode = 0;       // CDB byte 0 (0 for an empty CDB)
  std::vector<std::uint8_t> cdb;
  DataDirection direction = DataDirection::kNone;
  std::uint32_t transferLength = 0;
  std::vector<std::uint8_t> dataOut;  // a copy of the data phase of a command to the device
  ScsiOutcome outcome;                // how the reader answered, faults included
};

struct FlashTransaction {
  std::uint64_t commandIndex = 0;  // the carrier command
  bool bridgeIssued = false;       // the write enable the bridge sends on its own
  DataDirection direction = DataDirection::kNone;
  std::optional<std::uint8_t> opcode;  // none when no command bytes were sent
  std::vector<std::uint8_t> commandBytes;
  std::uint32_t dataLength = 0;
  FlashEffect effect = FlashEffect::kNothing;
};

}  // namespace tr350::emulator
