// Command matchers for fault injection.
#include "emulator/faults.h"

namespace tr350::emulator {

CommandMatcher AtCommand(std::uint64_t index) {
  return [index](const CommandRecord& r) { return r.index == index; };
}

CommandMatcher OnOpcode(std::uint8_t opcode) {
  return [opcode](const CommandRecord& r) { return !r.cdb.empty() && r.opcode == opcode; };
}

CommandMatcher OnFlashOpcode(std::uint8_t flashOpcode) {
  return [flashOpcode](const CommandRecord& r) {
    // Flash command bytes start at CDB byte 8; byte 1 counts them.
    return (r.opcode == 0xE7 || r.opcode == 0xE8) && r.cdb.size() > 8 && r.cdb[1] >= 1 &&
           r.cdb[8] == flashOpcode;
  };
}

}  // namespace tr350::emulator
