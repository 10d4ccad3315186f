// tr350-kernel-expected-flash: what a reader of a scenario holds after the tool's update, computed
// on the test's side: the scenario's own header updated as the update must update it, the image
// carried by the given program, and the erased rest up to the requested size. With a second output,
// also what a second update writes on top of the first (the header an interrupted update managed to
// write is a programmed header, which a later run may take as the reader's own).
#include <fstream>
#include <iostream>
#include <string>

#include "emulator/scenarios.h"
#include "ids/resource_ids.h"
#include "image/firmware_image.h"
#include "image/version_stamp.h"
#include "platform/emulated/emulated_storage.h"
#include "platform/emulated/virtual_clock.h"
#include "platform/linux/elf_resources.h"
#include "platform/text.h"
#include "tests/workflow/app_harness.h"

int main(int argc, char** argv) {
  if (argc != 5 && argc != 6) {
    std::cerr
        << "usage: tr350-kernel-expected-flash PROGRAM SCENARIO BYTES OUTPUT [OUTPUT-AGAIN]\n";
    return 2;
  }
  using namespace tr350;
  platform::ElfModuleResources resources(argv[1]);
  const auto image = resources.Find(kFirmwareResourceType, kFirmwareResourceId);
  FirmwareImage parsed;
  if (!image || !ParseImage(parsed, *image)) {
    std::cerr << "tr350-kernel-expected-flash: " << argv[1] << " carries no usable image\n";
    return 1;
  }
  platform::VirtualClock clock;
  platform::EmulatedStorage storage;
  const auto machine = emulator::BuildScenario(argv[2], clock, platform::HostOn(storage));
  if (!machine || machine->DiskDevices().empty()) {
    std::cerr << "tr350-kernel-expected-flash: scenario '" << argv[2] << "' has no reader\n";
    return 1;
  }
  const auto reader = machine->ReaderOf(machine->DiskDevices().front());
  const std::vector<std::uint8_t> header = test::StorageOf(*reader, 512);
  const auto version = [&parsed](int which) {
    return platform::Utf16ToUtf8(GetFirmwareVersion(which, parsed), platform::InvalidText::kReplace)
        .value_or("");
  };
  const std::size_t bytes = std::stoul(argv[3]);
  const auto write = [bytes](std::vector<std::uint8_t> flash, const char* path) {
    if (flash.size() > bytes) {
      std::cerr << "tr350-kernel-expected-flash: the update writes " << flash.size()
                << " bytes, more than " << bytes << "\n";
      return false;
    }
    flash.resize(bytes, 0xFF);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(flash.data()),
              static_cast<std::streamsize>(flash.size()));
    return static_cast<bool>(out);
  };
  const std::vector<std::uint8_t> once =
      test::ExpectedFlash(header, *image, version(1), version(2));
  if (!write(once, argv[4])) return 1;
  if (argc == 6) {
    const std::vector<std::uint8_t> again =
        test::ExpectedFlash(std::span(once).first(512), *image, version(1), version(2));
    if (!write(again, argv[5])) return 1;
  }
  return 0;
}
