// The named machines. Readers identify as the TR350 (3C51:4D08, storage type 1 for a serial
// flash, 2 for sector storage) unless a scenario says otherwise; flash chips come from the
// catalogue and start with their block-protect bits set, as shipped readers do.
#include "emulator/scenarios.h"

#include <algorithm>
#include <array>
#include <deque>
#include <stdexcept>
#include <string>

#include "emulator/chip_catalogue.h"
#include "emulator/firmware_content.h"

namespace tr350::emulator {
namespace {

constexpr std::string_view kOldFw1 = "201601150930";
constexpr std::string_view kOldFw2 = "201601150931";
constexpr std::string_view kCurrentFw1 = "201703240218";
constexpr std::string_view kCurrentFw2 = "201705170241";
constexpr std::uint32_t kOldBridgeVersion = 0x01000305;
constexpr std::uint32_t kCurrentBridgeVersion = 0x01000409;

// The bytes the tool stores but gives no meaning, set as a real reader might answer them.
IdentificationBlock ReaderIdentification(std::uint32_t version, std::uint8_t storageType) {
  IdentificationBlock b =
      MakeIdentification(kReaderUsbVendorId, kReaderUsbProductId, version, storageType);
  b[8] = 0x01;  // infoWord
  b[9] = 0x02;
  b[10] = 0x05;  // flags 0 and 2
  b[12] = 0x5A;  // infoWord2
  b[13] = 0x31;
  b[14] = 0x10;
  b[15] = 0x21;
  return b;
}

FirmwareContentSpec OldFirmware() {
  FirmwareContentSpec spec;
  spec.fw1Pages = 96;
  spec.fw2Pages = 138;
  spec.fw1Stamp = Fw1Stamp(kOldFw1);
  spec.fw2Stamp = Fw2Stamp(kOldFw2);
  spec.updateCounter = 3;
  spec.codeSeed = 2016;
  return spec;
}

FirmwareContentSpec CurrentFirmware() {
  FirmwareContentSpec spec;
  spec.fw1Stamp = Fw1Stamp(kCurrentFw1);
  spec.fw2Stamp = Fw2Stamp(kCurrentFw2);
  spec.updateCounter = 7;
  spec.codeSeed = 2017;
  return spec;
}

const FlashChipTraits& ChipTraits(std::string_view name) {
  const CatalogueChip* chip = FindCatalogueChip(name);
  if (chip == nullptr) throw std::logic_error("scenario chip missing from the catalogue");
  return chip->traits;
}

std::shared_ptr<Reader> FlashReader(platform::Clock& clock, std::string_view chip,
                                    std::optional<FirmwareContentSpec> content,
                                    std::uint32_t bridgeVersion = kOldBridgeVersion) {
  const FlashChipTraits& traits = ChipTraits(chip);
  ReaderConfig config;
  config.identification = ReaderIdentification(bridgeVersion, kStorageSerialFlash);
  auto reader = std::make_shared<Reader>(clock, traits, config);
  const std::vector<std::uint8_t> bytes =
      content ? BuildFirmwareContent(*content) : BlankFirmwareContent(traits.capacity);
  InstallFirmwareContent(*reader, bytes);
  reader->PresetFlashStatus(traits.protectBits);
  return reader;
}

std::shared_ptr<Reader> SectorReader(platform::Clock& clock, const FirmwareContentSpec& content) {
  ReaderConfig config;
  config.identification = ReaderIdentification(kOldBridgeVersion, kStorageSectors);
  auto reader = std::make_shared<Reader>(clock, SectorStorage{1024}, config);
  InstallFirmwareContent(*reader, BuildFirmwareContent(content));
  return reader;
}

// A bus with a keyboard on port 1 and a reader on port 3.
void KeyboardAndReader(Machine& m, std::shared_ptr<Reader> reader) {
  const DeviceId bus = m.AddBus();
  m.Connect(bus, 1, KeyboardDevice());
  m.Connect(bus, 3, ReaderDevice(std::move(reader)));
}

void FlashOld(Machine& m, platform::Clock& clock, const ScenarioInputs&) {
  KeyboardAndReader(m, FlashReader(clock, "ef-4016", OldFirmware()));
}

void FlashCurrent(Machine& m, platform::Clock& clock, const ScenarioInputs& inputs) {
  FirmwareContentSpec content = CurrentFirmware();
  content.release.assign(inputs.releaseImage.begin(), inputs.releaseImage.end());
  KeyboardAndReader(m, FlashReader(clock, "c8-4013", content, kCurrentBridgeVersion));
}

void SectorOld(Machine& m, platform::Clock& clock, const ScenarioInputs&) {
  KeyboardAndReader(m, SectorReader(clock, OldFirmware()));
}

void TwoReaders(Machine& m, platform::Clock& clock, const ScenarioInputs&) {
  const DeviceId bus = m.AddBus();
  m.Connect(bus, 1, ReaderDevice(FlashReader(clock, "c2-2016", OldFirmware())));
  const DeviceId hub = m.ConnectHub(bus, 3);
  m.Connect(hub, 2, ReaderDevice(SectorReader(clock, OldFirmware())));
  m.SetDiskOrder(DiskOrder::kReverseUsbOrder);
}

UsbDeviceSpec MouseDevice() {
  UsbDeviceSpec mouse;
  mouse.vendorId = 0x2F12;
  mouse.productId = 0x3001;
  mouse.manufacturer = u"Generic";
  mouse.product = u"USB Optical Mouse";
  mouse.interfaces = {{u"USB Input Device", u"HID-compliant mouse"}};
  return mouse;
}

void NoReader(Machine& m, platform::Clock&, const ScenarioInputs&) {
  const DeviceId bus = m.AddBus();
  m.Connect(bus, 1, KeyboardDevice());
  const DeviceId hub = m.ConnectHub(bus, 2);
  m.Connect(hub, 1, MouseDevice());
}

void NoUsb(Machine& m, platform::Clock&, const ScenarioInputs&) {
  m.AddBus();
}

void ForeignDisk(Machine& m, platform::Clock& clock, const ScenarioInputs&) {
  ReaderConfig config;
  config.vendorCommands = false;
  const DeviceId bus = m.AddBus();
  m.Connect(bus, 1, KeyboardDevice());
  m.Connect(bus, 2, PlainDiskDevice(std::make_shared<Reader>(clock, SectorStorage{256}, config)));
}

void BlankChip(Machine& m, platform::Clock& clock, const ScenarioInputs&) {
  KeyboardAndReader(m, FlashReader(clock, "ef-4016", std::nullopt));
}

void NotSupported(Machine& m, platform::Clock& clock, const ScenarioInputs&) {
  FirmwareContentSpec content = OldFirmware();
  content.usbVendorId = 0x2B7C;
  content.usbProductId = 0x0350;
  KeyboardAndReader(m, FlashReader(clock, "ef-4018", content));
}

void WrongSignature(Machine& m, platform::Clock& clock, const ScenarioInputs&) {
  FirmwareContentSpec content = OldFirmware();
  content.signature = 0x7E2A;
  KeyboardAndReader(m, FlashReader(clock, "c8-4013", content));
}

void DeepDisk(Machine& m, platform::Clock& clock, const ScenarioInputs&) {
  UsbDeviceSpec spec = ReaderDevice(FlashReader(clock, "ef-4016", OldFirmware()));
  spec.placement = DiskPlacement::kBelowIntermediate;
  const DeviceId bus = m.AddBus();
  m.Connect(bus, 2, std::move(spec));
}

void NoPermission(Machine& m, platform::Clock& clock, const ScenarioInputs&) {
  const DeviceId bus = m.AddBus();
  m.Connect(bus, 1, KeyboardDevice());
  UsbDeviceSpec spec = ReaderDevice(FlashReader(clock, "ef-4016", OldFirmware()));
  spec.userMayOpenDisk = false;
  m.Connect(bus, 3, std::move(spec));
}

void OtherBridge(Machine& m, platform::Clock& clock, const ScenarioInputs&) {
  ReaderConfig config;
  IdentificationBlock block = MakeIdentification(0x2B7C, 0x0350, 0x02000100, kStorageOther);
  block[12] = 0x00;
  block[13] = 0x07;
  config.identification = block;
  UsbDeviceSpec spec = PlainDiskDevice(std::make_shared<Reader>(clock, std::monostate{}, config));
  spec.vendorId = 0x2B7C;
  spec.productId = 0x0350;
  spec.product = u"USB Card Reader";
  spec.diskVendor = "GENERIC";
  spec.diskProduct = "CARD READER";
  const DeviceId bus = m.AddBus();
  m.Connect(bus, 1, std::move(spec));
}

// Readers of both storage kinds and several flash parts, behind two levels of hubs; five hold
// older firmware, three the current release.
void EightReaders(Machine& m, platform::Clock& clock, const ScenarioInputs& inputs) {
  FirmwareContentSpec current = CurrentFirmware();
  current.release.assign(inputs.releaseImage.begin(), inputs.releaseImage.end());
  const DeviceId bus = m.AddBus();
  m.Connect(bus, 1, KeyboardDevice());
  const DeviceId front = m.ConnectHub(bus, 2);
  m.Connect(front, 1, ReaderDevice(FlashReader(clock, "ef-4016", OldFirmware())));
  m.Connect(front, 2, ReaderDevice(SectorReader(clock, OldFirmware())));
  m.Connect(front, 3, ReaderDevice(FlashReader(clock, "c8-4013", current, kCurrentBridgeVersion)));
  m.Connect(front, 4, ReaderDevice(FlashReader(clock, "c2-2016", OldFirmware())));
  m.Connect(bus, 3, ReaderDevice(SectorReader(clock, current)));
  const DeviceId back = m.ConnectHub(bus, 4, HubSpec{.ports = 7});
  const DeviceId inner = m.ConnectHub(back, 1);
  m.Connect(inner, 2, ReaderDevice(FlashReader(clock, "ef-3013", OldFirmware())));
  m.Connect(inner, 3, ReaderDevice(SectorReader(clock, OldFirmware())));
  m.Connect(back, 3, ReaderDevice(FlashReader(clock, "1c-3114", current, kCurrentBridgeVersion)));
}

void SixtyFourDevices(Machine& m, platform::Clock& clock, const ScenarioInputs& inputs) {
  PopulateMixedMachine(m, clock, 64, inputs);
}

struct Entry {
  ScenarioInfo info;
  void (*build)(Machine&, platform::Clock&, const ScenarioInputs&);
};

constexpr std::array kScenarios = {
    Entry{{"flash-old",
           "A keyboard and a serial-flash TR350 whose firmware is older "
           "(FW1 201601150930, FW2 201601150931)."},
          FlashOld},
    Entry{{"flash-current",
           "A keyboard and a serial-flash TR350 whose firmware is current "
           "(FW1 201703240218, FW2 201705170241), programmed with the tool's release image."},
          FlashCurrent},
    Entry{{"sector-old",
           "A keyboard and a sector-storage TR350 whose firmware is older "
           "(FW1 201601150930, FW2 201601150931)."},
          SectorOld},
    Entry{
        {"two-readers",
         "An older serial-flash TR350 on port 1 and an older sector-storage TR350 behind a hub on "
         "port 3; the disk set lists them in reverse."},
        TwoReaders},
    Entry{{"no-reader", "A keyboard, a hub and a mouse behind it: USB devices but no disk."},
          NoReader},
    Entry{{"no-usb", "A bus with nothing plugged in."}, NoUsb},
    Entry{{"foreign-disk",
           "A keyboard and a plain USB flash disk that refuses the identification command."},
          ForeignDisk},
    Entry{{"blank-chip", "A keyboard and a serial-flash TR350 whose flash is erased."}, BlankChip},
    Entry{{"not-supported",
           "A keyboard and a serial-flash TR350 whose firmware header names another USB identity "
           "(2B7C:0350)."},
          NotSupported},
    Entry{{"wrong-signature",
           "A keyboard and a serial-flash TR350 with older firmware whose header signature is "
           "wrong (0x7E2A)."},
          WrongSignature},
    Entry{{"deep-disk",
           "An older serial-flash TR350 whose disk hangs below an intermediate node, deeper than "
           "the search reaches."},
          DeepDisk},
    Entry{{"no-permission",
           "A keyboard and an older serial-flash TR350 whose disk node the user may not open "
           "(no udev rule gave it to the user)."},
          NoPermission},
    Entry{{"other-bridge",
           "A USB card reader of another product whose identification answer decodes "
           "(2B7C:0350, storage type 3)."},
          OtherBridge},
    Entry{{"eight-readers",
           "Eight TR350s behind two levels of hubs, serial flash and sector storage mixed: five "
           "with older firmware, three current."},
          EightReaders},
    Entry{{"sixty-four-devices",
           "64 USB devices on hubs: 16 TR350s (half of the serial-flash ones current), "
           "keyboards, mice, hubs and plain disks that refuse the identification command."},
          SixtyFourDevices},
};

const std::array<ScenarioInfo, kScenarios.size()> kInfos = [] {
  std::array<ScenarioInfo, kScenarios.size()> infos{};
  std::ranges::transform(kScenarios, infos.begin(), &Entry::info);
  return infos;
}();

}  // namespace

std::span<const ScenarioInfo> Scenarios() {
  return kInfos;
}

std::vector<std::string_view> ScenarioNames() {
  std::vector<std::string_view> names;
  for (const Entry& e : kScenarios) names.push_back(e.info.name);
  return names;
}

std::optional<std::string_view> ScenarioDescription(std::string_view name) {
  const auto it = std::ranges::find(kScenarios, name, [](const Entry& e) { return e.info.name; });
  if (it == kScenarios.end()) return std::nullopt;
  return it->info.description;
}

// The devices repeat this cycle, filled breadth first into the free ports of the buses and the
// hubs already placed, so that the later ones sit behind one or two hubs.
void PopulateMixedMachine(Machine& m, platform::Clock& clock, std::size_t devices,
                          const ScenarioInputs& inputs) {
  enum class Kind { kFlashReader, kKeyboard, kHub, kMouse, kSectorReader, kRefusingDisk };
  constexpr std::array kCycle = {Kind::kFlashReader, Kind::kKeyboard,     Kind::kHub,
                                 Kind::kMouse,       Kind::kSectorReader, Kind::kRefusingDisk,
                                 Kind::kKeyboard,    Kind::kHub};
  constexpr std::array<std::string_view, 4> kChips = {"ef-4016", "c8-4013", "c2-2016", "ef-3013"};
  FirmwareContentSpec current = CurrentFirmware();
  current.release.assign(inputs.releaseImage.begin(), inputs.releaseImage.end());

  struct FreePort {
    DeviceId hub;
    std::uint8_t port;
  };
  std::deque<FreePort> ports;
  std::size_t flashReaders = 0;
  for (std::size_t i = 0; i < devices; ++i) {
    if (ports.empty()) {
      const DeviceId bus = m.AddBus();
      for (std::uint8_t p = 1; p <= 8; ++p) ports.push_back({bus, p});
    }
    const FreePort at = ports.front();
    ports.pop_front();
    switch (kCycle[i % kCycle.size()]) {
      case Kind::kFlashReader: {
        const std::string_view chip = kChips[flashReaders % kChips.size()];
        const bool isCurrent = flashReaders++ % 2 == 1;
        m.Connect(at.hub, at.port,
                  ReaderDevice(isCurrent ? FlashReader(clock, chip, current, kCurrentBridgeVersion)
                                         : FlashReader(clock, chip, OldFirmware())));
        break;
      }
      case Kind::kKeyboard:
        m.Connect(at.hub, at.port, KeyboardDevice());
        break;
      case Kind::kHub: {
        // Seven ports keep the tree within USB's five hubs below a root hub up to 256 devices.
        const DeviceId hub = m.ConnectHub(at.hub, at.port, HubSpec{.ports = 7});
        for (std::uint8_t p = 1; p <= 7; ++p) ports.push_back({hub, p});
        break;
      }
      case Kind::kMouse:
        m.Connect(at.hub, at.port, MouseDevice());
        break;
      case Kind::kSectorReader:
        m.Connect(at.hub, at.port, ReaderDevice(SectorReader(clock, OldFirmware())));
        break;
      case Kind::kRefusingDisk: {
        ReaderConfig config;
        config.vendorCommands = false;
        m.Connect(at.hub, at.port,
                  PlainDiskDevice(std::make_shared<Reader>(clock, SectorStorage{256}, config)));
        break;
      }
    }
  }
}

std::unique_ptr<Machine> BuildScenario(std::string_view name, platform::Clock& clock, DiskHost host,
                                       const ScenarioInputs& inputs) {
  const auto it = std::ranges::find(kScenarios, name, [](const Entry& e) { return e.info.name; });
  if (it == kScenarios.end()) return nullptr;
  auto machine = std::make_unique<Machine>(std::move(host));
  it->build(*machine, clock, inputs);
  return machine;
}

}  // namespace tr350::emulator
