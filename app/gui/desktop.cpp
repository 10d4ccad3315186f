// The desktop program: command line, the paced demo machine, and the window on the Qt backend.
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
#include "app/printable_text.h"
#include "app/resource.h"
#include "emulator/scenarios.h"
#include "platform/linux/elf_resources.h"
#include "platform/linux/linux_platform.h"
#include "platform/linux/real_clock.h"
#include "platform/termination.h"
#include "res/dialog_templates.h"
#include "res/icon/icon.h"

namespace tr350::gui {
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

// A disk that takes its time, as a reader on a real bus does.
class PacedDisk final : public platform::Disk {
 public:
  PacedDisk(std::unique_ptr<platform::Disk> disk, platform::Clock& clock, Pacing pacing)
      : disk_(std::move(disk)), clock_(clock), pacing_(pacing) {}

  bool SendRequest(PassThroughRequest& request, std::span<std::uint8_t> buffer) override {
    if (pacing_.perCommandMs != 0) clock_.Sleep(pacing_.perCommandMs);
    return disk_->SendRequest(request, buffer);
  }

 private:
  std::unique_ptr<platform::Disk> disk_;
  platform::Clock& clock_;
  const Pacing pacing_;
};

class PacedStorage final : public platform::StorageIo {
 public:
  PacedStorage(platform::StorageIo& storage, platform::Clock& clock, Pacing pacing)
      : storage_(storage), clock_(clock), pacing_(pacing) {}

  std::unique_ptr<platform::Disk> OpenDisk(std::u16string_view interfacePath) override {
    std::unique_ptr<platform::Disk> disk = storage_.OpenDisk(interfacePath);
    if (disk == nullptr) return nullptr;
    return std::make_unique<PacedDisk>(std::move(disk), clock_, pacing_);
  }

 private:
  platform::StorageIo& storage_;
  platform::Clock& clock_;
  const Pacing pacing_;
};

}  // namespace

// ---- The command line ---------------------------------------------------------------------------

namespace {

bool IsOwnOption(std::string_view arg) {
  return front_end::IsHelpOption(arg) || front_end::IsVersionOption(arg) ||
         front_end::ParseSimulate(arg).kind != front_end::SimulateKind::kNone;
}

Arguments UsageError(std::string error) {
  return Arguments{Action::kUsageError, std::nullopt, std::move(error)};
}

}  // namespace

Arguments ParseArguments(std::span<const std::string_view> args, bool strict) {
  // --help, --version and --simulate=help answer before Qt is started, so nothing but our own
  // options may come with them.
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

// ---- The demo -----------------------------------------------------------------------------------

struct DemoMachine::Parts {
  Parts(std::unique_ptr<platform::EmulatedPlatform> machine, platform::Clock& clock, Pacing pacing)
      : emulated(std::move(machine)),
        storage(emulated->Storage(), clock, pacing),
        platform(storage, emulated->Sync(), emulated->Time(), emulated->Resources()) {
    platform.SetDevices(emulated->Devices());
    platform.SetNotifications(emulated->Notifications());
  }
  std::unique_ptr<platform::EmulatedPlatform> emulated;
  PacedStorage storage;
  platform::ComposedPlatform platform;
};

std::unique_ptr<DemoMachine> DemoMachine::ForScenario(std::string_view scenario,
                                                      platform::Clock& clock,
                                                      platform::ModuleResources& resources,
                                                      Pacing pacing) {
  auto emulated = platform::EmulatedPlatform::ForScenario(scenario, clock, resources);
  if (emulated == nullptr) return nullptr;
  return std::unique_ptr<DemoMachine>(
      new DemoMachine(std::make_unique<Parts>(std::move(emulated), clock, pacing)));
}

DemoMachine::DemoMachine(std::unique_ptr<Parts> parts) : parts_(std::move(parts)) {}
DemoMachine::~DemoMachine() = default;

platform::Platform& DemoMachine::Platform() {
  return parts_->platform;
}

emulator::Machine& DemoMachine::Machine() {
  return parts_->emulated->GetMachine();
}

void DemoMachine::Poll() {
  Machine().Poll();
}

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
