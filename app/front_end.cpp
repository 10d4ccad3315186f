// The front ends' shared options and the tool's version text.
#include "app/front_end.h"

namespace tr350::front_end {

bool IsHelpOption(std::string_view arg) {
  return arg == "--help" || arg == "-h";
}

bool IsVersionOption(std::string_view arg) {
  return arg == "--version";
}

SimulateOption ParseSimulate(std::string_view arg) {
  constexpr std::string_view kOption = "--simulate";
  if (arg == kOption) return {SimulateKind::kScenario, kDefaultScenario};
  if (!arg.starts_with(kOption) || arg[kOption.size()] != '=') return {};
  const std::string_view scenario = arg.substr(kOption.size() + 1);
  if (scenario.empty()) return {SimulateKind::kMissingScenario, {}};
  return {SimulateKind::kScenario, scenario};
}

std::optional<std::string> ToolVersion(platform::ModuleResources& resources) {
  const auto v = resources.ProgramFileVersion();
  if (!v) return std::nullopt;
  return std::to_string(v->major) + "." + std::to_string(v->minor) + "." +
         std::to_string(v->build) + "." + std::to_string(v->revision);
}

int PrintVersion(std::string_view program, platform::ModuleResources& resources, std::ostream& out,
                 std::ostream& err) {
  const std::optional<std::string> version = ToolVersion(resources);
  if (!version) {
    err << program << ": the program file has no version resource\n";
    return kExitFailure;
  }
  out << program << " " << *version << "\n";
  return kExitOk;
}

}  // namespace tr350::front_end
