// The demo machine: the emulated platform of a scenario with paced disks.
#include "app/desktop/demo_machine.h"

#include <span>
#include <utility>

#include "platform/emulated/emulated_platform.h"

namespace tr350::desktop {
namespace {

// A disk that takes its time, as a reader on a real bus does.
class PacedDisk final : public platform::Disk {
 public:
  PacedDisk(std::unique_ptr<platform::Disk> disk, platform::Clock& clock, Pacing pacing)
      : disk_(std::move(disk)), clock_(clock), pacing_(pacing) {}

  bool SendRequest(PassThroughRequest& request, std::span<std::uint8_t> buffer) override {
    if (pacing_.perCommandMs != 0) clock_.Sleep(pacing_.perCommandMs);
    return disk_->SendRequest(request, buffer);
  }

 private:
  std::unique_ptr<platform::Disk> disk_;
  platform::Clock& clock_;
  const Pacing pacing_;
};

class PacedStorage final : public platform::StorageIo {
 public:
  PacedStorage(platform::StorageIo& storage, platform::Clock& clock, Pacing pacing)
      : storage_(storage), clock_(clock), pacing_(pacing) {}

  std::unique_ptr<platform::Disk> OpenDisk(std::u16string_view interfacePath) override {
    std::unique_ptr<platform::Disk> disk = storage_.OpenDisk(interfacePath);
    if (disk == nullptr) return nullptr;
    return std::make_unique<PacedDisk>(std::move(disk), clock_, pacing_);
  }

 private:
  platform::StorageIo& storage_;
  platform::Clock& clock_;
  const Pacing pacing_;
};

}  // namespace

struct DemoMachine::Parts {
  Parts(std::unique_ptr<platform::EmulatedPlatform> machine, platform::Clock& clock, Pacing pacing)
      : emulated(std::move(machine)),
        storage(emulated->Storage(), clock, pacing),
        platform(storage, emulated->Sync(), emulated->Time(), emulated->Resources()) {
    platform.SetDevices(emulated->Devices());
    platform.SetNotifications(emulated->Notifications());
  }
  std::unique_ptr<platform::EmulatedPlatform> emulated;
  PacedStorage storage;
  platform::ComposedPlatform platform;
};

std::unique_ptr<DemoMachine> DemoMachine::ForScenario(std::string_view scenario,
                                                      platform::Clock& clock,
                                                      platform::ModuleResources& resources,
                                                      Pacing pacing) {
  auto emulated = platform::EmulatedPlatform::ForScenario(scenario, clock, resources);
  if (emulated == nullptr) return nullptr;
  return std::unique_ptr<DemoMachine>(
      new DemoMachine(std::make_unique<Parts>(std::move(emulated), clock, pacing)));
}

DemoMachine::DemoMachine(std::unique_ptr<Parts> parts) : parts_(std::move(parts)) {}
DemoMachine::~DemoMachine() = default;

platform::Platform& DemoMachine::Platform() {
  return parts_->platform;
}

emulator::Machine& DemoMachine::Machine() {
  return parts_->emulated->GetMachine();
}

void DemoMachine::Poll() {
  Machine().Poll();
}

}  // namespace tr350::desktop
