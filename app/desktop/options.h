// The desktop program's command line, the same on every desktop: --simulate[=SCENARIO], --help,
// --version and --simulate=help.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace tr350::desktop {

inline constexpr std::string_view kProgramName = "tr350-fwupdate";

enum class Action : std::uint8_t { kRun, kHelp, kVersion, kListScenarios, kUsageError };

struct Arguments {
  Action action = Action::kRun;
  std::optional<std::string> scenario;  // --simulate: the emulated machine's scenario
  std::string error;                    // kUsageError: what was wrong
};

// Our options only. Not strict: other arguments are left for a toolkit to take (Qt's -platform,
// say) and looked at again once it has; strict: anything else is an error. Pure.
Arguments ParseArguments(std::span<const std::string_view> args, bool strict);
void PrintUsage(std::ostream& out);
void PrintScenarios(std::ostream& out);

}  // namespace tr350::desktop
