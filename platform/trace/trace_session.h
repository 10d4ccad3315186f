// The front ends' entry to traces: the --record FILE and --replay FILE options, and a command run
// with its calls recorded to a file or answered from one.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace tr350::platform::trace {

enum class TraceMode : std::uint8_t { kNone, kRecord, kReplay };

struct TraceOption {
  TraceMode mode = TraceMode::kNone;
  std::filesystem::path file;
};

// One option at args[index]: "--record FILE", "--record=FILE", "--replay FILE" or
// "--replay=FILE". `taken` is how many arguments it used (0: not a trace option); `error` says
// what is wrong with it (FILE missing or empty).
struct ParsedTraceOption {
  std::size_t taken = 0;
  TraceOption option;
  std::string error;
};
ParsedTraceOption ParseTraceOption(std::span<const std::string_view> args, std::size_t index);

// What the runs need from the front end: its name for messages, where they go, and the exit
// status of a run that failed because of the trace.
struct TraceContext {
  std::string_view program;
  std::ostream& err;
  int failureStatus = 1;
};
using Command = std::function<int(Platform&)>;

// Runs `run` on `machine` with every call recorded into `file` (created or replaced); the trace
// ends with the run's exit status. A file that cannot be created stops before anything is sent; a
// trace that could not be written in full is said so and turns a status of 0 into a failure.
int RunRecorded(Platform& machine, const std::filesystem::path& file, std::string_view command,
                const Command& run, const TraceContext& context);

// Runs `run` on a replay of `file`, with the given resources, mutexes and clock (give it the
// emulated kinds). A trace that does not read, one recorded for another command, a call that
// differs from the trace, calls left unused or another exit status print the report and give the
// failure status.
int RunReplayed(const std::filesystem::path& file, std::string_view command,
                ModuleResources& resources, Mutexes& sync, Clock& clock, const Command& run,
                const TraceContext& context);

}  // namespace tr350::platform::trace
