// The scan and the update end to end, as the terminal front end runs them, on emulated readers
// with a timing model: every command costs one millisecond of USB latency and the flash chip
// takes its own program, status-write and erase times. Time runs on a virtual clock, so the
// figures are the time a user would wait, measured without waiting for it; the host's own CPU
// time is what the benchmark library measures. The update of eight readers at once runs on a
// clock that gives each worker thread a timeline of its own.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <new>
#include <sstream>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "app/cli/workflow_commands.h"
#include "bench/timed_storage.h"
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

using bench::kCommandLatencyMs;
using bench::LatencyStorage;

// Virtual time for threads that wait side by side: each thread has a timeline of its own, which
// starts where the clock's owner (the thread that made it) stood when the thread first used the
// clock; the owner then sees the furthest point any thread reached. Over a run of workers the
// owner's elapsed time is so the longest worker's, as on a wall clock. The emulated readers keep
// their times on the timeline of the worker that sends them commands.
class ParallelVirtualClock final : public platform::Clock {
 public:
  void Sleep(std::uint32_t milliseconds) override {
    if (std::this_thread::get_id() == owner_) {
      ownerNow_.store(NowMs() + milliseconds);
      Raise(ownerNow_.load());
    } else {
      std::uint64_t& mine = Timeline();
      mine += milliseconds;
      Raise(mine);
    }
    std::this_thread::yield();
  }
  std::uint64_t NowMs() override {
    if (std::this_thread::get_id() != owner_) return Timeline();
    ownerNow_.store(std::max(ownerNow_.load(), horizon_.load()));
    return ownerNow_.load();
  }

 private:
  // This thread's timeline, kept per clock (by a serial: a later clock may reuse the address).
  std::uint64_t& Timeline() {
    thread_local std::unordered_map<std::uint64_t, std::uint64_t> timelines;
    return timelines.try_emplace(serial_, ownerNow_.load()).first->second;
  }
  void Raise(std::uint64_t reached) {
    std::uint64_t seen = horizon_.load();
    while (reached > seen && !horizon_.compare_exchange_weak(seen, reached)) {
    }
  }

  static inline std::atomic<std::uint64_t> nextSerial_{1};
  const std::uint64_t serial_ = nextSerial_.fetch_add(1);
  const std::thread::id owner_ = std::this_thread::get_id();
  std::atomic<std::uint64_t> ownerNow_{0};
  std::atomic<std::uint64_t> horizon_{0};
};

// The scenario's machine behind the latency, on a fresh virtual clock.
template <typename ClockType>
struct TimedMachine {
  TimedMachine(std::string_view scenario, platform::ModuleResources& resources)
      : emulated(platform::EmulatedPlatform::ForScenario(scenario, clock, resources)),
        storage(emulated->Storage(), clock),
        platform(storage, emulated->Sync(), clock, resources) {
    platform.SetDevices(emulated->Devices());
    platform.SetNotifications(emulated->Notifications());
  }
  ClockType clock;
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
    auto machine = std::make_unique<TimedMachine<platform::VirtualClock>>("flash-old", resources);
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
    minimumMs += static_cast<double>(machine->storage.Commands() * kCommandLatencyMs) +
                 static_cast<double>(ChipBusyUs(*reader, chip)) / 1000.0;
    commands += static_cast<double>(machine->storage.Commands());
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

// update --all on the eight-reader machine, or `update --reader ID` of one of its older readers
// (empty: all). Counters: the virtual time waited (the longest worker's), commands, peak heap.
void RunEight(benchmark::State& state, std::string_view reader) {
  platform::ElfModuleResources resources;
  double waitedMs = 0;
  double commands = 0;
  std::int64_t peak = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto machine = std::make_unique<TimedMachine<ParallelVirtualClock>>("eight-readers", resources);
    const std::uint64_t start = machine->clock.NowMs();
    g_peakBytes.store(g_liveBytes.load());
    const std::int64_t base = g_liveBytes.load();
    state.ResumeTiming();

    std::ostringstream out;
    std::ostringstream err;
    std::vector<std::string_view> args = {"--progress=none"};
    if (reader.empty()) {
      args.push_back("--all");
    } else {
      args.insert(args.end(), {"--reader", reader});
    }
    const int code = cli::RunUpdate(args, machine->platform, out, err);

    state.PauseTiming();
    if (code != cli::kExitUpToDate) {
      state.SkipWithError((out.str() + err.str()).c_str());
      break;
    }
    waitedMs += static_cast<double>(machine->clock.NowMs() - start);
    commands += static_cast<double>(machine->storage.Commands());
    peak = std::max(peak, g_peakBytes.load() - base);
    machine.reset();
    state.ResumeTiming();
  }
  const auto perRun = [&](double v) {
    return benchmark::Counter(v / static_cast<double>(state.iterations()));
  };
  state.counters["waited_ms"] = perRun(waitedMs);
  state.counters["commands"] = perRun(commands);
  state.counters["peak_heap_KiB"] = benchmark::Counter(static_cast<double>(peak) / 1024.0);
}

void BM_UpdateAll_EightReaders(benchmark::State& state) {
  RunEight(state, "");
}
// Each older reader of the machine alone, for the comparison: the slowest sets the bound.
void BM_UpdateOne_SerialFlashEf4016(benchmark::State& state) {
  RunEight(state, "1-2.1");
}
void BM_UpdateOne_Sectors(benchmark::State& state) {
  RunEight(state, "1-2.2");
}
void BM_UpdateOne_SerialFlashC22016(benchmark::State& state) {
  RunEight(state, "1-2.4");
}
void BM_UpdateOne_SerialFlashEf3013(benchmark::State& state) {
  RunEight(state, "1-4.1.2");
}
void BM_UpdateOne_SectorsBehindTwoHubs(benchmark::State& state) {
  RunEight(state, "1-4.1.3");
}
BENCHMARK(BM_UpdateAll_EightReaders)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5)
    ->MeasureProcessCPUTime();
BENCHMARK(BM_UpdateOne_SerialFlashEf4016)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5)
    ->MeasureProcessCPUTime();
BENCHMARK(BM_UpdateOne_Sectors)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5)
    ->MeasureProcessCPUTime();
BENCHMARK(BM_UpdateOne_SerialFlashC22016)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5)
    ->MeasureProcessCPUTime();
BENCHMARK(BM_UpdateOne_SerialFlashEf3013)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5)
    ->MeasureProcessCPUTime();
BENCHMARK(BM_UpdateOne_SectorsBehindTwoHubs)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5)
    ->MeasureProcessCPUTime();

}  // namespace
}  // namespace tr350

BENCHMARK_MAIN();
