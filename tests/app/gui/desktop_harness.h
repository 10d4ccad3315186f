// Test support for the desktop tool: the program's window on the Qt backend over the demo's
// emulated machine (real clock), driven by a GuiDriver, and what its main window shows.
#pragma once

#include <QtCore/QString>

#include <cstdint>
#include <future>
#include <memory>
#include <string>
#include <string_view>

#include "app/gui/desktop.h"
#include "platform/linux/elf_resources.h"
#include "platform/linux/real_clock.h"
#include "tests/ui/qt/gui_driver.h"
#include "ui/qt/qt_ui.h"

class QProgressBar;
class QPushButton;

namespace tr350::test {

class DesktopHarness {
 public:
  // The machine of a scenario and the window in `locale`, not yet running.
  explicit DesktopHarness(std::string_view scenario, std::string locale = "C",
                          gui::Pacing pacing = {});
  ~DesktopHarness();

  // Runs the program's window on this thread and the script on a driver thread.
  void Run(const std::function<void(GuiDriver&)>& script);

  emulator::Machine& Machine() { return demo_->Machine(); }
  emulator::DeviceId Reader() { return Machine().DiskDevices().front(); }
  ui::qt::QtUi& Ui() { return *ui_; }

  // ---- What the windows show (window's thread) --------------------------------------------------
  QWidget* Main() const;
  QWidget* Control(int id) const;
  QPushButton* Button(int id) const;
  QProgressBar* Progress() const;
  QString Message() const;       // the message area
  QString String(int id) const;  // a string of the user's language
  QWidget* Box() const;          // the newest message box
  QWidget* Dialog(int templateId) const;
  // The verdict after a scan has been shown: the message area holds the string, no worker runs.
  bool ShowsVerdict(int stringId) const;

 private:
  platform::RealClock clock_;
  platform::ElfModuleResources resources_;
  std::unique_ptr<gui::DemoMachine> demo_;
  std::unique_ptr<platform::ScopedPlatform> scope_;
  std::unique_ptr<ui::qt::QtUi> ui_;
};

// Holds a worker of the window right after the reader has answered the nth command (from 1,
// counted from now) of this opcode, until released; released at the latest when destroyed, so
// that a failed test does not leave the worker waiting.
class Hold {
 public:
  Hold(DesktopHarness& h, std::uint8_t opcode, std::uint64_t nth);
  ~Hold();
  Hold(const Hold&) = delete;
  Hold& operator=(const Hold&) = delete;

  // Driver thread: waits until the worker is held; false when it never was.
  bool Reached();
  void Release();

 private:
  // Shared with the hook, which may outlive a hold that was never reached.
  struct State {
    std::promise<void> reach;
    std::promise<void> release;
  };
  std::shared_ptr<State> state_ = std::make_shared<State>();
  std::future<void> reached_;
  bool released_ = false;
};

}  // namespace tr350::test
