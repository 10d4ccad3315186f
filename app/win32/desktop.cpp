// The Windows desktop program: command line, the demo's poller and the window on the Win32 backend.
#include "app/win32/desktop.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

#include "app/app.h"
#include "app/fixed_texts.h"
#include "app/front_end.h"
#include "platform/native.h"
#include "res/dialog_templates.h"

namespace tr350::win32_desktop {
namespace {

// Polls the demo machine every kDemoPollMs on a thread of its own while it lives, so that a reader
// that restarted comes back; the machine reports that to the window as a device change.
class DemoPoller {
 public:
  explicit DemoPoller(desktop::DemoMachine& demo) : thread_([this, &demo] { Run(demo); }) {}
  ~DemoPoller() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }
  DemoPoller(const DemoPoller&) = delete;
  DemoPoller& operator=(const DemoPoller&) = delete;

 private:
  void Run(desktop::DemoMachine& demo) {
    std::unique_lock lock(mutex_);
    while (!wake_.wait_for(lock, std::chrono::milliseconds(desktop::kDemoPollMs),
                           [this] { return stop_; })) {
      lock.unlock();
      demo.Poll();
      lock.lock();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  std::thread thread_;  // last: starts once the members it uses exist
};

void Report(const std::ostringstream& text, bool error) {
  ui::win32::ReportText(text::kToolName, text.str(), error);
}

}  // namespace

ui::win32::Win32UiOptions WindowOptions(platform::Platform& platform,
                                        std::optional<ui::Language> language) {
  ui::win32::Win32UiOptions options;
  options.notifications = &platform.Notifications();
  options.language = language;
  options.resources = res::WindowResources();
  return options;
}

void RunWindow(ui::Backend& ui, desktop::DemoMachine* demo) {
  std::optional<DemoPoller> poller;
  if (demo != nullptr) poller.emplace(*demo);
  CRZ6104FwUpdateToolApp app(ui);
  app.InitInstance();
}

int Main(std::span<const std::string_view> args) {
  std::ostringstream text;
  // A damaged program file is said so at once, whatever was asked of it.
  const auto resources = platform::OpenProgramResources();
  if (resources->ResourceState() == platform::ProgramResources::State::kDamaged) {
    text << desktop::kProgramName << ": the program file is damaged: its resources cannot be "
         << "read; reinstall the tool\n";
    Report(text, true);
    return front_end::kExitFailure;
  }
  const desktop::Arguments parsed = desktop::ParseArguments(args, true);
  switch (parsed.action) {
    case desktop::Action::kHelp:
      desktop::PrintUsage(text);
      Report(text, false);
      return front_end::kExitOk;
    case desktop::Action::kListScenarios:
      desktop::PrintScenarios(text);
      Report(text, false);
      return front_end::kExitOk;
    case desktop::Action::kVersion: {
      std::ostringstream error;
      const int status = front_end::PrintVersion(desktop::kProgramName, *resources, text, error);
      Report(status == front_end::kExitOk ? text : error, status != front_end::kExitOk);
      return status;
    }
    case desktop::Action::kUsageError:
      text << desktop::kProgramName << ": " << parsed.error << "\nTry '" << desktop::kProgramName
           << " --help'.\n";
      Report(text, true);
      return front_end::kExitUsage;
    case desktop::Action::kRun:
      break;
  }

  const auto native = platform::MakeNativePlatform();
  if (!parsed.scenario) {
    platform::ScopedPlatform scope(*native);
    ui::win32::Win32Ui ui(WindowOptions(*native));
    RunWindow(ui, nullptr);
    return front_end::kExitOk;
  }
  // The demo's reader answers on the machine's real clock.
  const auto demo = desktop::DemoMachine::ForScenario(*parsed.scenario, native->Time(), *resources,
                                                      desktop::kDemoPacing);
  platform::ScopedPlatform scope(demo->Platform());
  ui::win32::Win32Ui ui(WindowOptions(demo->Platform()));
  RunWindow(ui, demo.get());
  return front_end::kExitOk;
}

}  // namespace tr350::win32_desktop
