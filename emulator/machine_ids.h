// Instance IDs and interface paths the emulated machine mints for each arrival of a device, in
// the form the system's device setup gives them; internal to the emulator.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "emulator/machine.h"

namespace tr350::emulator::detail {

// The IDs and paths of one arrival of a device.
struct Arrival {
  std::uint64_t serial = 0;
  std::u16string id;
  std::u16string usbPath;
  std::vector<std::u16string> interfaces;
  std::vector<std::u16string> functions;  // per interface; empty when it has none
  std::u16string intermediate;
  std::u16string disk;
  std::u16string diskSetId;
  std::u16string diskPath;
};

std::u16string UpperCase(std::u16string_view s);
std::u16string Widen(std::string_view ascii);

// The IDs of arrival `serial` of a hub or USB device at `port`; `seed` varies them between
// machines.
Arrival MintArrival(NodeKind kind, std::uint8_t port, const UsbDeviceSpec& spec,
                    std::uint64_t serial, std::uint32_t seed);

}  // namespace tr350::emulator::detail
