// Host cost of the command transport on a zero-latency emulated reader: one vendor command, a
// 32 KiB sector piece, and the whole update content programmed and read back page by page.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <new>
#include <numeric>
#include <vector>

#include "emulator/chip_catalogue.h"
#include "emulator/reader.h"
#include "platform/emulated/emulated_mutexes.h"
#include "platform/emulated/emulated_storage.h"
#include "platform/emulated/virtual_clock.h"
#include "records/device_entry.h"
#include "transport/flash_commands.h"
#include "transport/reader_identification.h"
#include "transport/vendor_commands.h"

// Heap bytes requested by the code under measurement: the bounce buffers and copies per command.
namespace {
std::atomic<std::uint64_t> g_allocatedBytes{0};
}  // namespace

// These replace the global allocation functions; GCC mistakes the pairing for a mismatch.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t size) {
  g_allocatedBytes.fetch_add(size, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}

namespace tr350 {
namespace {

constexpr std::u16string_view kPath = u"emulated-reader-0";
constexpr std::size_t kUpdateContent = 62976;  // header, FW1, FW2 and configuration block

class NoResources final : public platform::ModuleResources {
 public:
  std::optional<std::span<const std::uint8_t>> Find(std::uint16_t, std::uint16_t) override {
    return std::nullopt;
  }
  std::optional<platform::FileVersion> ProgramFileVersion() override { return std::nullopt; }
};

// One emulated reader on a virtual clock, with recording off so long runs use constant memory.
struct Bench {
  explicit Bench(emulator::Backing backing)
      : reader(std::make_shared<emulator::Reader>(clock, std::move(backing))) {
    reader->SetRecording(false);
    storage.Attach(kPath, reader);
    device = MakeEmptyDeviceEntry();
    SetFieldText(device.diskPath, kPath);
    device.accessMutex = mutex.Get();
  }

  platform::VirtualClock clock;
  platform::EmulatedMutexes mutexes{clock};
  platform::UniqueMutex mutex{mutexes, mutexes.Open(u"[Device0000]")};
  platform::EmulatedStorage storage;
  NoResources resources;
  platform::ComposedPlatform platform{storage, mutexes, clock, resources};
  platform::ScopedPlatform scope{platform};
  std::shared_ptr<emulator::Reader> reader;
  DeviceEntry device{};
};

// A serial flash with no program, erase or status-write time.
emulator::FlashChipTraits ZeroLatencyChip() {
  emulator::FlashChipTraits chip = emulator::CatalogueChipForPosition(58)->traits;
  chip.eraseMs = 0;
  chip.programUs = 0;
  chip.writeStatusUs = 0;
  return chip;
}

// Commands sent and heap bytes allocated per iteration since `before`.
struct Counts {
  std::uint64_t commands;
  std::uint64_t allocated;
};

Counts Snapshot(const Bench& bench) {
  return {bench.reader->CommandCount(), g_allocatedBytes.load()};
}

void ReportCounts(benchmark::State& state, const Bench& bench, Counts before) {
  const auto perIteration = [&](std::uint64_t value) {
    return benchmark::Counter(static_cast<double>(value) / static_cast<double>(state.iterations()));
  };
  const Counts after = Snapshot(bench);
  state.counters["commands/iter"] = perIteration(after.commands - before.commands);
  state.counters["heapB/iter"] = perIteration(after.allocated - before.allocated);
}

void BM_VendorCommand_ReadDeviceInfo(benchmark::State& state) {
  Bench bench(emulator::SectorStorage{256});
  std::array<std::uint8_t, 16> block{};
  const Counts before = Snapshot(bench);
  for (auto _ : state) {
    if (!ReadDeviceInfo(bench.device, block)) state.SkipWithError("0xD0 failed");
    benchmark::DoNotOptimize(block);
  }
  ReportCounts(state, bench, before);
}
BENCHMARK(BM_VendorCommand_ReadDeviceInfo);

void BM_ReadSectors_32KiB(benchmark::State& state) {
  Bench bench(emulator::SectorStorage{256});
  std::vector<std::uint8_t> out(32768);
  const Counts before = Snapshot(bench);
  for (auto _ : state) {
    if (!ReadSectors(bench.device, 0, out)) state.SkipWithError("0xE5 failed");
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 32768);
  ReportCounts(state, bench, before);
}
BENCHMARK(BM_ReadSectors_32KiB);

void BM_ProgramAndReadFlash_UpdateContent(benchmark::State& state) {
  Bench bench(ZeroLatencyChip());
  DeviceEntry& device = bench.device;
  std::array<std::uint8_t, 16> block{};
  if (!ReadDeviceInfo(device, block) || !ParseDeviceInfo(device, block)) {
    state.SkipWithError("flash not identified");
    return;
  }
  std::vector<std::uint8_t> content(kUpdateContent);
  std::iota(content.begin(), content.end(), std::uint8_t{0});
  std::vector<std::uint8_t> back(kUpdateContent);
  const Counts before = Snapshot(bench);
  for (auto _ : state) {
    // Programming the same bytes again leaves them as they are, so no erase is needed per pass.
    if (!ProgramFlash(device, 0, content) || !ReadFlash(device, 0, back) || back != content) {
      state.SkipWithError("program or read back failed");
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 2 *
                          static_cast<std::int64_t>(kUpdateContent));
  ReportCounts(state, bench, before);
}
BENCHMARK(BM_ProgramAndReadFlash_UpdateContent)->Unit(benchmark::kMillisecond);

void BM_SectorWriteAndRead_UpdateContent(benchmark::State& state) {
  Bench bench(emulator::SectorStorage{256});
  std::vector<std::uint8_t> content(kUpdateContent);
  std::iota(content.begin(), content.end(), std::uint8_t{7});
  std::vector<std::uint8_t> back(kUpdateContent);
  const Counts before = Snapshot(bench);
  for (auto _ : state) {
    if (!WriteSectors(bench.device, 0, content) || !ReadSectors(bench.device, 0, back)) {
      state.SkipWithError("sector transfer failed");
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 2 *
                          static_cast<std::int64_t>(kUpdateContent));
  ReportCounts(state, bench, before);
}
BENCHMARK(BM_SectorWriteAndRead_UpdateContent)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace tr350

BENCHMARK_MAIN();
