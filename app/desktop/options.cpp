// The desktop program's command line.
#include "app/desktop/options.h"

#include <ostream>
#include <utility>

#include "app/front_end.h"
#include "app/printable_text.h"
#include "emulator/scenarios.h"

namespace tr350::desktop {
namespace {

constexpr std::string_view kUsage =
    "Usage: tr350-fwupdate [--simulate[=SCENARIO]] [--help] [--version]\n"
    "\n"
    "Checks the firmware of the TR350 USB SD card reader attached to this computer and, when it\n"
    "is older than the firmware this tool carries, updates it.\n"
    "\n"
    "Options:\n"
    "  --simulate[=SCENARIO]  show the tool working on an emulated reader instead of the real\n"
    "                         ones (default scenario: flash-old; --simulate=help lists them)\n"
    "  --help                 show this help and exit\n"
    "  --version              show the tool's version and exit\n";

bool IsOwnOption(std::string_view arg) {
  return front_end::IsHelpOption(arg) || front_end::IsVersionOption(arg) ||
         front_end::ParseSimulate(arg).kind != front_end::SimulateKind::kNone;
}

Arguments UsageError(std::string error) {
  return Arguments{Action::kUsageError, std::nullopt, std::move(error)};
}

}  // namespace

Arguments ParseArguments(std::span<const std::string_view> args, bool strict) {
  // --help, --version and --simulate=help answer before any window is made, so nothing but our
  // own options may come with them.
  for (const std::string_view arg : args) {
    std::optional<Action> answer;
    if (front_end::IsHelpOption(arg)) answer = Action::kHelp;
    if (front_end::IsVersionOption(arg)) answer = Action::kVersion;
    if (arg == "--simulate=help") answer = Action::kListScenarios;
    if (!answer) continue;
    for (const std::string_view other : args) {
      if (!IsOwnOption(other)) {
        return UsageError(std::string("'")
                              .append(PrintableArgument(arg))
                              .append("' takes no other arguments, but got '")
                              .append(PrintableArgument(other))
                              .append("'"));
      }
    }
    return Arguments{*answer, std::nullopt, {}};
  }
  Arguments parsed;
  for (const std::string_view arg : args) {
    const front_end::SimulateOption simulate = front_end::ParseSimulate(arg);
    if (simulate.kind == front_end::SimulateKind::kScenario) {
      parsed.scenario = std::string(simulate.scenario);
    } else if (simulate.kind == front_end::SimulateKind::kMissingScenario) {
      return UsageError("'--simulate=' needs a scenario: --simulate=SCENARIO");
    } else if (strict) {
      return UsageError("unknown argument '" + PrintableArgument(arg) + "'");
    }
  }
  if (parsed.scenario && !emulator::ScenarioDescription(*parsed.scenario)) {
    return UsageError("unknown scenario '" + PrintableArgument(*parsed.scenario) +
                      "'; --simulate=help lists them");
  }
  return parsed;
}

void PrintUsage(std::ostream& out) {
  out << kUsage;
}

void PrintScenarios(std::ostream& out) {
  front_end::PrintScenarios(out, emulator::Scenarios());
}

}  // namespace tr350::desktop
