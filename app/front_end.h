// What the terminal and the desktop front ends share: their exit codes, the --simulate, --help and
// --version options, the tool's version text and the list of scenarios.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace tr350::front_end {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

// The scenario of a bare --simulate.
inline constexpr std::string_view kDefaultScenario = "flash-old";

bool IsHelpOption(std::string_view arg);  // --help or -h
bool IsVersionOption(std::string_view arg);

enum class SimulateKind : std::uint8_t {
  kNone,            // not a --simulate option
  kScenario,        // --simulate (the default scenario) or --simulate=SCENARIO
  kMissingScenario  // "--simulate=" with nothing after it
};
struct SimulateOption {
  SimulateKind kind = SimulateKind::kNone;
  std::string_view scenario;  // kScenario: a view into the argument, or kDefaultScenario
};
SimulateOption ParseSimulate(std::string_view arg);

// "major.minor.build.revision" of the program file's version resource; nullopt without one.
std::optional<std::string> ToolVersion(platform::ModuleResources& resources);

// --version: "PROGRAM VERSION" on `out` and kExitOk, or, without a version resource, the error on
// `err` and kExitFailure.
int PrintVersion(std::string_view program, platform::ModuleResources& resources, std::ostream& out,
                 std::ostream& err);

// --simulate=help: each scenario (anything with a name and a description) on a line of its own.
template <typename Scenarios>
void PrintScenarios(std::ostream& out, const Scenarios& scenarios) {
  out << "Scenarios for --simulate (default: " << kDefaultScenario << "):\n";
  for (const auto& info : scenarios) {
    const std::size_t pad = info.name.size() < 16 ? 16 - info.name.size() : 1;
    out << "  " << info.name << std::string(pad, ' ') << info.description << "\n";
  }
}

}  // namespace tr350::front_end
