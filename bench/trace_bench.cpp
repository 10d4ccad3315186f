// What a trace costs: the terminal front end's check of an emulated serial-flash reader run plain,
// recorded (to memory and to a file, a line flushed per call as --record does) and replayed, with
// the time per request of each; and reading a trace back. The emulator answers at host speed, so
// the differences are the host's own cost of recording and replaying.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "app/cli/workflow_commands.h"
#include "platform/emulated/emulated_mutexes.h"
#include "platform/emulated/emulated_platform.h"
#include "platform/emulated/virtual_clock.h"
#include "platform/native.h"
#include "platform/trace/recording_platform.h"
#include "platform/trace/replay_platform.h"
#include "platform/trace/trace_format.h"

namespace tr350 {
namespace {

namespace trace = platform::trace;

// The check's backups folder (it looks there only for a blank reader) stays out of the user's.
const std::filesystem::path& StateFolder() {
  static const std::filesystem::path folder = [] {
    const auto path = std::filesystem::temp_directory_path() / "tr350-trace-bench";
    std::filesystem::create_directories(path);
    ::setenv("XDG_STATE_HOME", path.c_str(), 1);
    return path;
  }();
  return folder;
}

platform::ModuleResources& Resources() {
  static const std::unique_ptr<platform::ProgramResources> resources =
      platform::OpenProgramResources();
  return *resources;
}

int Check(platform::Platform& platform) {
  std::ostringstream out;
  std::ostringstream err;
  return cli::RunCheck({}, platform, out, err);
}

// One recorded check of the scenario, and the number of requests in it.
const std::string& CheckTrace() {
  static const std::string text = [] {
    StateFolder();
    const auto machine = platform::EmulatedPlatform::ForScenario("flash-old", Resources());
    std::ostringstream out;
    trace::RecordingPlatform recording(*machine, out, "check");
    recording.RecordResult(Check(recording));
    return out.str();
  }();
  return text;
}

trace::Trace ParsedCheck() {
  std::istringstream in(CheckTrace());
  return std::move(*trace::ParseTrace(in).trace);
}

void PerRequest(benchmark::State& state) {
  std::size_t requests = 0;
  for (const trace::Record& record : ParsedCheck().records) {
    requests += record.call.kind == trace::CallKind::kRequest ? 1 : 0;
  }
  state.counters["requests"] = static_cast<double>(requests);
  state.counters["per_request"] = benchmark::Counter(
      static_cast<double>(requests),
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_CheckPlain(benchmark::State& state) {
  StateFolder();
  const auto machine = platform::EmulatedPlatform::ForScenario("flash-old", Resources());
  for (auto _ : state) benchmark::DoNotOptimize(Check(*machine));
  PerRequest(state);
}
BENCHMARK(BM_CheckPlain)->Unit(benchmark::kMillisecond);

void BM_CheckRecordedToMemory(benchmark::State& state) {
  StateFolder();
  const auto machine = platform::EmulatedPlatform::ForScenario("flash-old", Resources());
  for (auto _ : state) {
    std::ostringstream out;
    trace::RecordingPlatform recording(*machine, out, "check");
    benchmark::DoNotOptimize(Check(recording));
  }
  PerRequest(state);
}
BENCHMARK(BM_CheckRecordedToMemory)->Unit(benchmark::kMillisecond);

void BM_CheckRecordedToFile(benchmark::State& state) {
  const auto machine = platform::EmulatedPlatform::ForScenario("flash-old", Resources());
  const std::filesystem::path file = StateFolder() / "check.trace";
  for (auto _ : state) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    trace::RecordingPlatform recording(*machine, out, "check");
    benchmark::DoNotOptimize(Check(recording));
  }
  PerRequest(state);
  state.counters["trace_bytes"] = static_cast<double>(std::filesystem::file_size(file));
}
BENCHMARK(BM_CheckRecordedToFile)->Unit(benchmark::kMillisecond);

void BM_CheckReplayed(benchmark::State& state) {
  StateFolder();
  const trace::Trace parsed = ParsedCheck();
  for (auto _ : state) {
    state.PauseTiming();
    platform::VirtualClock clock;
    platform::EmulatedMutexes mutexes(clock);
    auto replay = std::make_unique<trace::ReplayPlatform>(parsed, Resources(), mutexes, clock);
    state.ResumeTiming();
    benchmark::DoNotOptimize(Check(*replay));
    if (!replay->Finish(std::nullopt)) state.SkipWithError("the replay diverged");
  }
  PerRequest(state);
}
BENCHMARK(BM_CheckReplayed)->Unit(benchmark::kMillisecond);

void BM_ParseTrace(benchmark::State& state) {
  const std::string& text = CheckTrace();
  for (auto _ : state) {
    std::istringstream in(text);
    benchmark::DoNotOptimize(trace::ParseTrace(in));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(text.size()));
}
BENCHMARK(BM_ParseTrace)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tr350

BENCHMARK_MAIN();
