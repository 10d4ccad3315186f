// Recorded and replayed runs of one command, and the options that ask for them.
#include "platform/trace/trace_session.h"

#include <array>
#include <fstream>
#include <optional>

#include "platform/trace/recording_platform.h"
#include "platform/trace/replay_platform.h"
#include "platform/trace/trace_format.h"

namespace tr350::platform::trace {
namespace {

struct OptionName {
  std::string_view name;
  TraceMode mode;
};
constexpr std::array<OptionName, 2> kOptions = {
    {{"--record", TraceMode::kRecord}, {"--replay", TraceMode::kReplay}}};

// The file name as typed, with control characters shown as escapes so that none reaches the
// terminal.
std::string Shown(const std::filesystem::path& file) {
  std::string shown;
  for (const char c : file.string()) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) {
      constexpr std::string_view kHex = "0123456789abcdef";
      shown += "\\x";
      shown += kHex[byte >> 4];
      shown += kHex[byte & 0x0F];
    } else {
      shown += c;
    }
  }
  return "'" + shown + "'";
}

}  // namespace

ParsedTraceOption ParseTraceOption(std::span<const std::string_view> args, std::size_t index) {
  ParsedTraceOption parsed;
  if (index >= args.size()) return parsed;
  const std::string_view arg = args[index];
  for (const OptionName& option : kOptions) {
    std::optional<std::string_view> file;
    if (arg == option.name) {
      parsed.taken = 1;
      if (index + 1 < args.size()) {
        file = args[index + 1];
        parsed.taken = 2;
      }
    } else if (arg.size() > option.name.size() && arg.starts_with(option.name) &&
               arg[option.name.size()] == '=') {
      parsed.taken = 1;
      file = arg.substr(option.name.size() + 1);
    } else {
      continue;
    }
    if (!file || file->empty()) {
      parsed.error =
          std::string(option.name) + " needs a file: " + std::string(option.name) + " FILE";
      return parsed;
    }
    parsed.option = {option.mode, std::filesystem::path(std::string(*file))};
    return parsed;
  }
  return parsed;
}

int RunRecorded(Platform& machine, const std::filesystem::path& file, std::string_view command,
                const Command& run, const TraceContext& context) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  if (!out) {
    context.err << context.program << ": the trace " << Shown(file)
                << " cannot be created; nothing was sent to the reader\n";
    return context.failureStatus;
  }
  RecordingPlatform recording(machine, out, command);
  int status = 0;
  {
    ScopedPlatform scope(recording);
    status = run(recording);
  }
  recording.RecordResult(status);
  out.close();
  if (!recording.Complete() || !out) {
    context.err << context.program << ": the trace " << Shown(file)
                << " could not be written in full\n";
    return status != 0 ? status : context.failureStatus;
  }
  return status;
}

int RunReplayed(const std::filesystem::path& file, std::string_view command,
                ModuleResources& resources, Mutexes& sync, Clock& clock, const Command& run,
                const TraceContext& context) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    context.err << context.program << ": the trace " << Shown(file) << " cannot be read\n";
    return context.failureStatus;
  }
  ParseResult parsed = ParseTrace(in);
  if (!parsed.trace) {
    context.err << context.program << ": the trace " << Shown(file) << ", line "
                << parsed.error.line << ": " << parsed.error.message << "\n";
    return context.failureStatus;
  }
  if (!parsed.trace->header.command.empty() && parsed.trace->header.command != command) {
    context.err << context.program << ": the trace " << Shown(file) << " was recorded for '"
                << parsed.trace->header.command << "', not for '" << command << "'\n";
    return context.failureStatus;
  }
  ReplayPlatform replay(std::move(*parsed.trace), resources, sync, clock);
  int status = 0;
  {
    ScopedPlatform scope(replay);
    status = run(replay);
  }
  if (!replay.Finish(status)) {
    context.err << context.program << ": the replay of " << Shown(file) << " failed.\n"
                << replay.Report();
    return context.failureStatus;
  }
  return status;
}

}  // namespace tr350::platform::trace
