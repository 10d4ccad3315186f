// The desktop program: its command line, the demo machine behind --simulate, and running the
// window on the Qt backend.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "app/front_end.h"
#include "emulator/machine.h"
#include "platform/emulated/emulated_platform.h"
#include "platform/platform.h"
#include "ui/qt/qt_ui.h"

namespace tr350::gui {

inline constexpr std::string_view kProgramName = "tr350-fwupdate";
using front_end::kDefaultScenario;
using front_end::kExitFailure;
using front_end::kExitOk;
using front_end::kExitUsage;

// ---- The command line ---------------------------------------------------------------------------

enum class Action : std::uint8_t { kRun, kHelp, kVersion, kListScenarios, kUsageError };

struct Arguments {
  Action action = Action::kRun;
  std::optional<std::string> scenario;  // --simulate: the emulated machine's scenario
  std::string error;                    // kUsageError: what was wrong
};

// Our options only; other arguments are left to Qt (say -platform) and to the second look, after
// Qt has taken its own (strict: anything left over is an error). Pure.
Arguments ParseArguments(std::span<const std::string_view> args, bool strict);
void PrintUsage(std::ostream& out);
void PrintScenarios(std::ostream& out);

// ---- The demo -----------------------------------------------------------------------------------

// How slowly the demo's reader answers, so that a newcomer can follow the progress bar: the
// emulated reader answers at once, a real one takes its time over each command.
struct Pacing {
  std::uint32_t perCommandMs = 0;
};
// About two seconds for the read-back of a scan, five for a whole update of the stand-in image.
inline constexpr Pacing kDemoPacing{4};

// The emulated machine of a scenario on a clock (the real one in the demo), its disks paced.
// Thread-safe as the emulated platform is.
class DemoMachine {
 public:
  // Null for an unknown scenario. The clock and the resources must outlive the machine.
  static std::unique_ptr<DemoMachine> ForScenario(std::string_view scenario, platform::Clock& clock,
                                                  platform::ModuleResources& resources,
                                                  Pacing pacing);
  ~DemoMachine();
  DemoMachine(const DemoMachine&) = delete;
  DemoMachine& operator=(const DemoMachine&) = delete;

  platform::Platform& Platform();
  emulator::Machine& Machine();
  // Lets a reader that restarted come back once its time has passed; the machine reports its
  // arrival to the window. The demo calls it on a timer.
  void Poll();

 private:
  struct Parts;
  explicit DemoMachine(std::unique_ptr<Parts> parts);
  std::unique_ptr<Parts> parts_;
};

// How often the demo polls the machine.
inline constexpr int kDemoPollMs = 100;

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
