// Faults that can be armed on an emulated reader, and the matchers that choose the commands they
// hit.
#pragma once

#include <cstdint>
#include <functional>

#include "emulator/records.h"

namespace tr350::emulator {

// Called with the reader's lock held, before the command is carried out (the record's outcome is
// not filled in yet). Must not call back into the reader.
using CommandMatcher = std::function<bool(const CommandRecord&)>;

CommandMatcher AtCommand(std::uint64_t index);
CommandMatcher OnOpcode(std::uint8_t opcode);
// A flash carrier command (0xE7 or 0xE8) whose first flash command byte is `flashOpcode`.
CommandMatcher OnFlashOpcode(std::uint8_t flashOpcode);

enum class FaultAction : std::uint8_t {
  kCheckCondition,   // refused with CHECK CONDITION (aborted command); nothing carried out
  kNotDelivered,     // the driver call fails; nothing carried out
  kLostCompletion,   // carried out, but the driver call fails all the same
  kStatusOne,        // carried out; a good completion reports SCSI status 1
  kDropOffBus,       // the reader falls off the bus instead; it stays off until plugged in again
  kDropOffBusAfter,  // carried out and answered, then the reader falls off the bus as kDropOffBus
  kFlashStuckBusy,   // the flash chip hangs busy as this command reaches it, until power is lost
};

struct CommandFault {
  CommandMatcher when;
  FaultAction action = FaultAction::kCheckCondition;
  std::uint32_t times = 1;  // 0: every matching command
};

// Flips bits in what a command from the device returns (the stored content stays intact).
struct ReadCorruption {
  CommandMatcher when;
  std::uint32_t byteOffset = 0;  // within the data phase; a shorter transfer is left alone
  std::uint8_t xorMask = 0x01;
  std::uint32_t times = 1;  // 0: every matching command
};

}  // namespace tr350::emulator
