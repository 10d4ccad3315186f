// The transport against the reader emulator: flash identification of every catalogue chip,
// erase + program + read back on serial-flash readers, sector round trips, and the reset key.
#include <memory>
#include <numeric>

#include "emulator/chip_catalogue.h"
#include "emulator/reader.h"
#include "platform/emulated/emulated_storage.h"
#include "tests/transport/transport_fixture.h"
#include "transport/flash_commands.h"
#include "transport/flash_part_table.h"
#include "transport/reader_identification.h"
#include "transport/vendor_commands.h"

namespace tr350::test {
namespace {

constexpr std::u16string_view kPath = u"\\\\?\\usbstor#disk&ven_tr350#emu0#{disk}";

class EmulatorTest : public ::testing::Test {
 protected:
  std::shared_ptr<emulator::Reader> Attach(emulator::Backing backing,
                                           emulator::ReaderConfig config = {}) {
    auto reader = std::make_shared<emulator::Reader>(clock, std::move(backing), config);
    storage.Attach(kPath, reader);
    return reader;
  }
  DeviceEntry Device() {
    DeviceEntry entry = MakeEmptyDeviceEntry();
    SetFieldText(entry.diskPath, kPath);
    entry.accessMutex = mutex.Get();
    return entry;
  }
  // The device probe: read the identification block and decode it.
  bool Probe(DeviceEntry& entry) {
    std::array<std::uint8_t, kDeviceInfoLength> block{};
    return ReadDeviceInfo(entry, block) && ParseDeviceInfo(entry, block);
  }

  platform::VirtualClock clock;
  platform::EmulatedMutexes mutexes{clock};
  platform::UniqueMutex mutex{mutexes, mutexes.Open(u"[Device check chip]")};
  platform::EmulatedStorage storage;
  NoResources resources;
  platform::ComposedPlatform platform{storage, mutexes, clock, resources};
  platform::ScopedPlatform scope{platform};
};

TEST_F(EmulatorTest, EveryCatalogueChipIsIdentifiedAsItsPosition) {
  int recognisable = 0;
  for (const emulator::CatalogueChip& chip : emulator::ChipCatalogue()) {
    SCOPED_TRACE(std::string(chip.traits.name));
    Attach(chip.traits);
    DeviceEntry entry = Device();
    EXPECT_EQ(Probe(entry), chip.position.has_value());
    EXPECT_EQ(entry.accessMode, kAccessModeSerialFlash);
    if (chip.position) {
      ++recognisable;
      EXPECT_EQ(entry.flashPartIndex, *chip.position);
      EXPECT_EQ(entry.flashPart, &FlashPartTable[*chip.position]);
    } else {
      EXPECT_EQ(entry.flashPart, nullptr);
      EXPECT_EQ(entry.flashPartIndex, -1);
    }
  }
  EXPECT_GT(recognisable, 0);

  // A known chip that answers with an unknown identity is not a reader the tool can use.
  auto reader = Attach(emulator::ChipCatalogue().front().traits);
  reader->SetUnknownFlashIdentity(true);
  DeviceEntry entry = Device();
  EXPECT_FALSE(Probe(entry));
  EXPECT_EQ(entry.flashPart, nullptr);
  EXPECT_EQ(entry.flashPartIndex, -1);
  EXPECT_FALSE(mutexes.State(u"[Device check chip]").owned);
}

TEST_F(EmulatorTest, FirmwareRoundTripsThroughEveryRecognisedChip) {
  std::vector<std::uint8_t> content(62976);
  for (std::size_t i = 0; i < content.size(); ++i) {
    content[i] = static_cast<std::uint8_t>((i * 131) ^ (i >> 9));
  }
  for (const emulator::CatalogueChip& chip : emulator::ChipCatalogue()) {
    if (!chip.position || chip.traits.capacity < content.size()) continue;
    SCOPED_TRACE(std::string(chip.traits.name));
    auto reader = Attach(chip.traits);
    reader->PresetFlash(0, std::vector<std::uint8_t>(4096, 0x00));  // old firmware
    DeviceEntry entry = Device();
    ASSERT_TRUE(Probe(entry));
    reader->ClearLogs();

    ASSERT_TRUE(SetFlashProtection(entry, false));
    ASSERT_TRUE(EraseFlashChip(entry));
    ASSERT_TRUE(ProgramFlash(entry, 0, content));
    std::vector<std::uint8_t> back(content.size());
    ASSERT_TRUE(ReadFlash(entry, 0, back));
    EXPECT_EQ(back, content);
    EXPECT_EQ(reader->PeekFlash(0, static_cast<std::uint32_t>(content.size())), content);
    ASSERT_TRUE(SetFlashProtection(entry, true));
    // Every command reached the chip in a state that let it act: list the flash opcodes of
    // those it ignored.
    std::vector<int> ignored;
    for (const emulator::FlashTransaction& t : reader->FlashLog()) {
      using emulator::FlashEffect;
      if (t.effect == FlashEffect::kIgnoredBusy || t.effect == FlashEffect::kIgnoredMalformed ||
          t.effect == FlashEffect::kIgnoredNoWriteEnable ||
          t.effect == FlashEffect::kIgnoredNoPrefix || t.effect == FlashEffect::kIgnoredProtected) {
        ignored.push_back(t.opcode.value_or(0));
      }
    }
    EXPECT_TRUE(ignored.empty()) << "ignored flash opcodes: " << ::testing::PrintToString(ignored)
                                 << " (part " << static_cast<int>(*chip.position) << ")";
  }
}

TEST_F(EmulatorTest, SectorsRoundTripInPieces) {
  auto reader = Attach(emulator::SectorStorage{});
  DeviceEntry entry = Device();
  ASSERT_TRUE(Probe(entry));
  EXPECT_EQ(entry.accessMode, kAccessModeSectors);
  std::vector<std::uint8_t> data(40960);  // one full piece and one partial
  std::iota(data.begin(), data.end(), std::uint8_t{7});
  ASSERT_TRUE(WriteSectors(entry, 8 * 512, data));
  std::vector<std::uint8_t> back(data.size());
  ASSERT_TRUE(ReadSectors(entry, 8 * 512, back));
  EXPECT_EQ(back, data);
  EXPECT_EQ(reader->PeekSectors(8, 80), data);
}

TEST_F(EmulatorTest, ResetIsAcceptedWithTheToolsKeyOnly) {
  emulator::ReaderConfig config;
  config.resetKey = kResetKey;
  auto reader = Attach(emulator::SectorStorage{}, config);
  EXPECT_TRUE(ForceCpuReset(Device()));
  EXPECT_EQ(reader->State(), emulator::BusState::kRestarting);

  config.resetKey = {0x52, 0x5A, 0x61, 0x04};  // a reader whose firmware expects another key
  auto stranger = Attach(emulator::SectorStorage{}, config);
  EXPECT_FALSE(ForceCpuReset(Device()));
  EXPECT_EQ(stranger->State(), emulator::BusState::kAttached);
}

}  // namespace
}  // namespace tr350::test
