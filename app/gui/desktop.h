// The Linux desktop program: the window on the Qt backend, with the command line and the demo
// machine behind --simulate that every desktop shares.
#pragma once

#include <iosfwd>
#include <optional>
#include <string>

#include "app/desktop/demo_machine.h"
#include "app/desktop/options.h"
#include "app/front_end.h"
#include "platform/platform.h"
#include "ui/qt/qt_ui.h"

namespace tr350::gui {

using desktop::kProgramName;
using front_end::kDefaultScenario;
using front_end::kExitFailure;
using front_end::kExitOk;
using front_end::kExitUsage;

// The command line and the demo are the same on every desktop (app/desktop/).
using desktop::Action;
using desktop::Arguments;
using desktop::DemoMachine;
using desktop::kDemoPacing;
using desktop::kDemoPollMs;
using desktop::Pacing;
using desktop::ParseArguments;
using desktop::PrintScenarios;
using desktop::PrintUsage;

// ---- The window ---------------------------------------------------------------------------------

// The options the program's window runs with: its resources and icon, and the platform's device
// changes. Needs the QApplication.
ui::qt::QtOptions WindowOptions(platform::Platform& platform,
                                std::optional<std::string> locale = std::nullopt);
// Runs the main dialog until it closes, polling the demo machine meanwhile (when there is one).
// When a request to end was deferred while the reader was written (platform/termination.h), the
// windows are closed once the write is done. Window's thread; the platform must be the current
// one.
void RunWindow(ui::qt::QtUi& ui, DemoMachine* demo);
// How often the window asks whether a deferred request to end is due.
inline constexpr int kTerminationPollMs = 100;

// The whole program. --help and --version need no display. Runs the window on the calling thread;
// 128 + the signal's number when a deferred request to end closed it.
int Main(int argc, char** argv, std::ostream& out, std::ostream& err);

}  // namespace tr350::gui
