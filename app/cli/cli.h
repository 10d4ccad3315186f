// The terminal front end: the tool's commands for a terminal and for scripts.
#pragma once

#include <ostream>
#include <span>
#include <string_view>

#include "app/front_end.h"
#include "platform/platform.h"

namespace tr350::cli {

inline constexpr std::string_view kProgramName = "tr350-fwupdate-cli";

using front_end::kExitFailure;
using front_end::kExitOk;
using front_end::kExitUsage;

// Runs one command (the command line without the program name and the global options) on the
// given platform.
int RunCli(std::span<const std::string_view> args, platform::Platform& platform, std::ostream& out,
           std::ostream& err);

// The whole command line without the program name: global options (--simulate[=SCENARIO]) choose
// the machine, a real one or an emulated one, then the command runs on it.
int RunMain(std::span<const std::string_view> args, std::ostream& out, std::ostream& err);

using front_end::kDefaultScenario;

}  // namespace tr350::cli
