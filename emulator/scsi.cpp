// Encoding of the reader's sense data.
#include "emulator/scsi.h"

namespace tr350::emulator {

std::array<std::uint8_t, kFixedSenseLength> SenseData::Bytes() const {
  std::array<std::uint8_t, kFixedSenseLength> out{};
  out[0] = 0x70;  // current error, fixed format
  out[2] = static_cast<std::uint8_t>(key);
  out[7] = kFixedSenseLength - 8;  // additional sense length
  out[12] = asc;
  out[13] = ascq;
  return out;
}

}  // namespace tr350::emulator
