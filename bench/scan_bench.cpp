// The device search at scale: one table build on emulated machines of 1 to 128 USB devices (the
// mixed machine of the sixty-four-devices scenario, cut or extended), behind the timing model of
// 1 ms per command on a virtual clock. Host time is the tool's own work plus the emulator's; the
// virtual time is what a user would wait for the commands.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <memory>

#include "bench/timed_storage.h"
#include "discovery/device_table.h"
#include "emulator/scenarios.h"
#include "platform/emulated/emulated_platform.h"
#include "platform/emulated/virtual_clock.h"

namespace tr350 {
namespace {

class NoResources final : public platform::ModuleResources {
 public:
  std::optional<std::span<const std::uint8_t>> Find(std::uint16_t, std::uint16_t) override {
    return std::nullopt;
  }
  std::optional<platform::FileVersion> ProgramFileVersion() override { return std::nullopt; }
};

// A machine of `devices` USB devices behind the latency model.
struct ScanMachine {
  explicit ScanMachine(std::size_t devices)
      : emulated(clock, resources),
        storage(emulated.Storage(), clock),
        platform(storage, emulated.Sync(), clock, resources) {
    emulator::PopulateMixedMachine(emulated.GetMachine(), clock, devices);
    // Constant memory over long runs: the readers keep no command log.
    for (const emulator::DeviceId d : emulated.GetMachine().DiskDevices()) {
      emulated.GetMachine().ReaderOf(d)->SetRecording(false);
    }
    platform.SetDevices(emulated.Devices());
    platform.SetNotifications(emulated.Notifications());
  }
  platform::VirtualClock clock;
  NoResources resources;
  platform::EmulatedPlatform emulated;
  bench::LatencyStorage storage;
  platform::ComposedPlatform platform;
};

void BM_TableBuild(benchmark::State& state) {
  const auto devices = static_cast<std::size_t>(state.range(0));
  ScanMachine machine(devices);
  platform::ScopedPlatform scope(machine.platform);
  const std::uint64_t commandsBefore = machine.storage.Commands();
  const std::uint64_t identificationsBefore = machine.storage.Identifications();
  const std::uint64_t setsBefore =
      machine.emulated.GetDevices().SetOpenCount(platform::InterfaceClass::kDisk);
  const std::uint64_t virtualBefore = machine.clock.NowMs();
  std::int32_t readers = 0;
  DeviceTable table;
  for (auto _ : state) {
    BuildDeviceTable(table);
    readers = table.count;
    ReleaseDeviceTable(table);
  }
  const auto perBuild = [&](std::uint64_t total) {
    return benchmark::Counter(static_cast<double>(total) / static_cast<double>(state.iterations()));
  };
  state.counters["readers"] = readers;
  state.counters["commands"] = perBuild(machine.storage.Commands() - commandsBefore);
  state.counters["identifications"] =
      perBuild(machine.storage.Identifications() - identificationsBefore);
  state.counters["disk_sets"] = perBuild(
      machine.emulated.GetDevices().SetOpenCount(platform::InterfaceClass::kDisk) - setsBefore);
  state.counters["virtual_ms"] = perBuild(machine.clock.NowMs() - virtualBefore);
  // Host time per device: the build's time divided by the devices, per iteration.
  state.counters["per_device"] =
      benchmark::Counter(static_cast<double>(devices) * static_cast<double>(state.iterations()),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_TableBuild)
    ->Arg(1)
    ->Arg(2)
    ->Arg(4)
    ->Arg(8)
    ->Arg(16)
    ->Arg(32)
    ->Arg(64)
    ->Arg(128)
    ->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace tr350

BENCHMARK_MAIN();
