// The scan and the update end to end, as the terminal front end runs them, on an emulated
// serial-flash reader with a timing model: every command costs one millisecond of USB latency
// and the flash chip takes its own program, status-write and erase times. Time runs on a virtual
// clock, so the figures are the time a user would wait, measured without waiting for it; the
// host's own CPU time is what the benchmark library measures.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <new>
#include <sstream>
#include <string_view>
#include <vector>

#include "app/cli/workflow_commands.h"
#include "emulator/chip_catalogue.h"
#include "platform/emulated/emulated_platform.h"
#include "platform/emulated/virtual_clock.h"
#include "platform/linux/elf_resources.h"

// Live and peak heap bytes: every allocation carries its size in front of it.
namespace {
std::atomic<std::int64_t> g_liveBytes{0};
std::atomic<std::int64_t> g_peakBytes{0};
constexpr std::size_t kHeader = alignof(std::max_align_t);
}  // namespace

// These replace the global allocation functions; once inlined, GCC mistakes the size prefix for
// an out-of-bounds access and the pairing for a mismatch.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#pragma GCC diagnostic ignored "-Warray-bounds"

void* operator new(std::size_t size) {
  auto* block = static_cast<unsigned char*>(std::malloc(size + kHeader));
  if (block == nullptr) throw std::bad_alloc();
  *reinterpret_cast<std::size_t*>(block) = size;
  const std::int64_t live =
      g_liveBytes.fetch_add(static_cast<std::int64_t>(size)) + static_cast<std::int64_t>(size);
  std::int64_t peak = g_peakBytes.load();
  while (live > peak && !g_peakBytes.compare_exchange_weak(peak, live)) {
  }
  return block + kHeader;
}
void operator delete(void* p) noexcept {
  if (p == nullptr) return;
  auto* block = static_cast<unsigned char*>(p) - kHeader;
  g_liveBytes.fetch_sub(static_cast<std::int64_t>(*reinterpret_cast<std::size_t*>(block)));
  std::free(block);
}
void operator delete(void* p, std::size_t) noexcept {
  operator delete(p);
}

namespace tr350 {
namespace {

constexpr std::uint32_t kCommandLatencyMs = 1;  // three bulk transfers and the host's stack

// Adds the USB latency to every command, on the platform's clock.
class LatencyStorage final : public platform::StorageIo {
 public:
  LatencyStorage(platform::StorageIo& inner, platform::Clock& clock)
      : inner_(inner), clock_(clock) {}
  std::unique_ptr<platform::Disk> OpenDisk(std::u16string_view path) override {
    auto disk = inner_.OpenDisk(path);
    if (!disk) return nullptr;
    return std::make_unique<LatencyDisk>(std::move(disk), clock_, commands);
  }
  std::uint64_t commands = 0;

 private:
  class LatencyDisk final : public platform::Disk {
   public:
    LatencyDisk(std::unique_ptr<platform::Disk> inner, platform::Clock& clock,
                std::uint64_t& commands)
        : inner_(std::move(inner)), clock_(clock), commands_(commands) {}
    bool SendRequest(PassThroughRequest& request, std::span<std::uint8_t> buffer) override {
      clock_.Sleep(kCommandLatencyMs);
      ++commands_;
      return inner_->SendRequest(request, buffer);
    }

   private:
    std::unique_ptr<platform::Disk> inner_;
    platform::Clock& clock_;
    std::uint64_t& commands_;
  };
  platform::StorageIo& inner_;
  platform::Clock& clock_;
};

// The scenario's machine behind the latency, on a fresh virtual clock.
struct TimedMachine {
  explicit TimedMachine(platform::ModuleResources& resources)
      : emulated(platform::EmulatedPlatform::ForScenario("flash-old", clock, resources)),
        storage(emulated->Storage(), clock),
        platform(storage, emulated->Sync(), clock, resources) {
    platform.SetDevices(emulated->Devices());
    platform.SetNotifications(emulated->Notifications());
  }
  platform::VirtualClock clock;
  std::unique_ptr<platform::EmulatedPlatform> emulated;
  LatencyStorage storage;
  platform::ComposedPlatform platform;
};

// The chip's busy time for what it was asked to do: the least a device takes.
std::uint64_t ChipBusyUs(const emulator::Reader& reader, const emulator::FlashChipTraits& chip) {
  std::uint64_t us = 0;
  for (const auto& t : reader.FlashLog()) {
    switch (t.effect) {
      case emulator::FlashEffect::kProgramStarted:
        us += chip.programUs;
        break;
      case emulator::FlashEffect::kStatusWriteStarted:
        us += chip.writeStatusUs;
        break;
      case emulator::FlashEffect::kEraseStarted:
        us += std::uint64_t{chip.eraseMs} * 1000;
        break;
      default:
        break;
    }
  }
  return us;
}

void Run(benchmark::State& state, bool update) {
  platform::ElfModuleResources resources;
  const emulator::FlashChipTraits& chip = emulator::FindCatalogueChip("ef-4016")->traits;
  double waitedMs = 0;
  double minimumMs = 0;
  double commands = 0;
  std::int64_t peak = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto machine = std::make_unique<TimedMachine>(resources);
    const auto readers = machine->emulated->GetMachine().DiskDevices();
    const auto reader = machine->emulated->GetMachine().ReaderOf(readers.front());
    const std::uint64_t start = machine->clock.NowMs();
    g_peakBytes.store(g_liveBytes.load());
    const std::int64_t base = g_liveBytes.load();
    state.ResumeTiming();

    std::ostringstream out;
    std::ostringstream err;
    const std::vector<std::string_view> args = {"--progress=none"};
    const int code = update ? cli::RunUpdate(args, machine->platform, out, err)
                            : cli::RunCheck(args, machine->platform, out, err);

    state.PauseTiming();
    if (code != (update ? cli::kExitUpToDate : cli::kExitNotLatest)) {
      state.SkipWithError(err.str().c_str());
      break;
    }
    waitedMs += static_cast<double>(machine->clock.NowMs() - start);
    minimumMs += static_cast<double>(machine->storage.commands * kCommandLatencyMs) +
                 static_cast<double>(ChipBusyUs(*reader, chip)) / 1000.0;
    commands += static_cast<double>(machine->storage.commands);
    peak = std::max(peak, g_peakBytes.load() - base);
    machine.reset();
    state.ResumeTiming();
  }
  const auto perRun = [&](double v) {
    return benchmark::Counter(v / static_cast<double>(state.iterations()));
  };
  state.counters["waited_ms"] = perRun(waitedMs);
  state.counters["device_min_ms"] = perRun(minimumMs);
  state.counters["commands"] = perRun(commands);
  state.counters["peak_heap_KiB"] = benchmark::Counter(static_cast<double>(peak) / 1024.0);
}

void BM_Check_SerialFlashReader(benchmark::State& state) {
  Run(state, false);
}
void BM_Update_SerialFlashReader(benchmark::State& state) {
  Run(state, true);
}
BENCHMARK(BM_Check_SerialFlashReader)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5)
    ->MeasureProcessCPUTime();
BENCHMARK(BM_Update_SerialFlashReader)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5)
    ->MeasureProcessCPUTime();

}  // namespace
}  // namespace tr350

BENCHMARK_MAIN();
