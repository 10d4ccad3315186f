// A test fixture: the tool's platform on an emulated machine with a virtual clock.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>

#include "emulator/chip_catalogue.h"
#include "emulator/machine.h"
#include "emulator/reader.h"
#include "platform/emulated/emulated_platform.h"
#include "platform/emulated/virtual_clock.h"

namespace tr350::test {

class NoResources final : public platform::ModuleResources {
 public:
  std::optional<std::span<const std::uint8_t>> Find(std::uint16_t, std::uint16_t) override {
    return std::nullopt;
  }
  std::optional<platform::FileVersion> ProgramFileVersion() override { return std::nullopt; }
};

class MachineTest : public ::testing::Test {
 protected:
  std::shared_ptr<emulator::Reader> FlashReader(emulator::ReaderConfig config = {}) {
    return std::make_shared<emulator::Reader>(clock, emulator::CatalogueChipForPosition(58)->traits,
                                              config);
  }
  std::shared_ptr<emulator::Reader> SectorReader(emulator::ReaderConfig config = {}) {
    return std::make_shared<emulator::Reader>(clock, emulator::SectorStorage{512}, config);
  }
  emulator::DeviceId Plug(std::uint8_t port, std::shared_ptr<emulator::Reader> reader) {
    return machine().Connect(bus, port, emulator::ReaderDevice(std::move(reader)));
  }
  emulator::Machine& machine() { return platform.GetMachine(); }

  platform::VirtualClock clock;
  NoResources resources;
  platform::EmulatedPlatform platform{clock, resources};
  platform::ScopedPlatform scope{platform};
  emulator::DeviceId bus = machine().AddBus(8);
};

}  // namespace tr350::test
