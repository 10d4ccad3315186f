// The Linux desktop program: the window on the Qt backend, against the real machine or the demo.
#include "app/gui/desktop.h"

#include <QtCore/QTimer>
#include <QtWidgets/QApplication>
#include <QtWidgets/QMessageBox>
#include <QtWidgets/QWidget>

#include <ostream>
#include <utility>
#include <vector>

#include "app/app.h"
#include "app/front_end.h"
#include "app/resource.h"
#include "emulator/scenarios.h"
#include "platform/linux/elf_resources.h"
#include "platform/linux/linux_platform.h"
#include "platform/linux/real_clock.h"
#include "platform/termination.h"
#include "res/dialog_templates.h"
#include "res/icon/icon.h"

namespace tr350::gui {

// ---- The window ---------------------------------------------------------------------------------

ui::qt::QtOptions WindowOptions(platform::Platform& platform, std::optional<std::string> locale) {
  ui::qt::QtOptions options;
  options.notifications = &platform.Notifications();
  options.locale = std::move(locale);
  options.resources = res::WindowResources();
  options.icons.emplace(IDR_MAINFRAME, res::AppIcon());
  return options;
}

void RunWindow(ui::qt::QtUi& ui, DemoMachine* demo) {
  QTimer poll;
  if (demo != nullptr) {
    QObject::connect(&poll, &QTimer::timeout, [demo] { demo->Poll(); });
    poll.start(kDemoPollMs);
  }
  // A request to end that came while the reader was written is acted on once the write is done:
  // the windows close from the top down as if the user closed them (the main dialog refuses while
  // its update thread still runs, and is asked again on a later tick).
  QTimer ending;
  QObject::connect(&ending, &QTimer::timeout, [] {
    if (!platform::DeferredTermination()) return;
    if (QWidget* popup = QApplication::activePopupWidget()) {
      popup->close();
    } else if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
      box->done(QMessageBox::Ok);
    } else if (QWidget* top = QApplication::activeModalWidget()) {
      top->close();
    }
  });
  ending.start(kTerminationPollMs);
  CRZ6104FwUpdateToolApp app(ui);
  app.InitInstance();
}

int Main(int argc, char** argv, std::ostream& out, std::ostream& err) {
  {
    // A damaged program file is said so at once, whatever was asked of it.
    platform::ElfModuleResources self;
    if (self.SectionState() == platform::ElfModuleResources::State::kDamaged) {
      err << kProgramName << ": the program file is damaged: its resources cannot be read; "
          << "reinstall the tool\n";
      return kExitFailure;
    }
  }
  const std::vector<std::string_view> args(argv + 1, argv + argc);
  Arguments parsed = ParseArguments(args, false);
  switch (parsed.action) {
    case Action::kHelp:
      PrintUsage(out);
      return kExitOk;
    case Action::kListScenarios:
      PrintScenarios(out);
      return kExitOk;
    case Action::kVersion: {
      platform::ElfModuleResources resources;
      return front_end::PrintVersion(kProgramName, resources, out, err);
    }
    case Action::kUsageError:
      err << kProgramName << ": " << parsed.error << "\nTry '" << kProgramName << " --help'.\n";
      return kExitUsage;
    case Action::kRun:
      break;
  }

  if (!ui::qt::CanShowWindows()) {
    err << kProgramName << ": there is no display to show the window on (neither DISPLAY nor "
        << "WAYLAND_DISPLAY is set).\nRun it on a desktop, or use the terminal front end, for "
        << "example: tr350-fwupdate-cli --simulate update\n";
    return kExitFailure;
  }
  QApplication application(argc, argv);
  // What is left once Qt has taken its own options must all be ours.
  const QStringList rest = QApplication::arguments();
  std::vector<std::string> remaining;
  for (qsizetype i = 1; i < rest.size(); ++i) remaining.push_back(rest[i].toStdString());
  const std::vector<std::string_view> views(remaining.begin(), remaining.end());
  parsed = ParseArguments(views, true);
  if (parsed.action == Action::kUsageError) {
    err << kProgramName << ": " << parsed.error << "\nTry '" << kProgramName << " --help'.\n";
    return kExitUsage;
  }
  QApplication::setApplicationName(
      QString::fromUtf8(kProgramName.data(), static_cast<qsizetype>(kProgramName.size())));
  QApplication::setDesktopFileName(QStringLiteral("tr350-fwupdate"));
  QApplication::setWindowIcon(res::AppIcon());

  if (!parsed.scenario) {
    platform::LinuxPlatform real;
    platform::ScopedPlatform scope(real);
    ui::qt::QtUi ui(WindowOptions(real));
    RunWindow(ui, nullptr);
    return platform::DeferredTermination().value_or(kExitOk);
  }
  platform::RealClock clock;
  platform::ElfModuleResources resources;
  const auto demo = DemoMachine::ForScenario(*parsed.scenario, clock, resources, kDemoPacing);
  platform::ScopedPlatform scope(demo->Platform());
  out << kProgramName << ": simulating '" << *parsed.scenario
      << "': " << *emulator::ScenarioDescription(*parsed.scenario) << "\n";
  ui::qt::QtUi ui(WindowOptions(demo->Platform()));
  RunWindow(ui, demo.get());
  return platform::DeferredTermination().value_or(kExitOk);
}

}  // namespace tr350::gui
