// Test support for the desktop tool.
#include "tests/app/gui/desktop_harness.h"

#include <QtWidgets/QMessageBox>
#include <QtWidgets/QPlainTextEdit>
#include <QtWidgets/QProgressBar>
#include <QtWidgets/QPushButton>

#include <stdexcept>

#include "app/resource.h"

namespace tr350::test {

DesktopHarness::DesktopHarness(std::string_view scenario, std::string locale, gui::Pacing pacing)
    : demo_(gui::DemoMachine::ForScenario(scenario, clock_, resources_, pacing)) {
  if (demo_ == nullptr) throw std::invalid_argument("unknown scenario");
  scope_ = std::make_unique<platform::ScopedPlatform>(demo_->Platform());
  ui_ = std::make_unique<ui::qt::QtUi>(gui::WindowOptions(demo_->Platform(), std::move(locale)));
}

DesktopHarness::~DesktopHarness() {
  ui_.reset();
  scope_.reset();
}

void DesktopHarness::Run(const std::function<void(GuiDriver&)>& script) {
  RunWithDriver(
      *ui_, [this] { gui::RunWindow(*ui_, demo_.get()); }, script);
}

QWidget* DesktopHarness::Main() const {
  return ui_->NewestDialog(IDD_UPDATETOOL_DIALOG);
}

QWidget* DesktopHarness::Control(int id) const {
  return ui_->Control(IDD_UPDATETOOL_DIALOG, id);
}

QPushButton* DesktopHarness::Button(int id) const {
  return qobject_cast<QPushButton*>(Control(id));
}

QProgressBar* DesktopHarness::Progress() const {
  return qobject_cast<QProgressBar*>(Control(IDC_PROGRESS));
}

QString DesktopHarness::Message() const {
  auto* edit = qobject_cast<QPlainTextEdit*>(Control(IDC_MESSAGE_EDIT));
  return edit != nullptr ? edit->toPlainText() : QString();
}

QString DesktopHarness::String(int id) const {
  return QString::fromStdU16String(ui_->LoadString(id))
      .replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
}

QWidget* DesktopHarness::Box() const {
  return ui_->NewestMessageBox();
}

QWidget* DesktopHarness::Dialog(int templateId) const {
  return ui_->NewestDialog(templateId);
}

bool DesktopHarness::ShowsVerdict(int stringId) const {
  return Main() != nullptr && Message() == String(stringId) && Progress()->isHidden();
}

Hold::Hold(DesktopHarness& h, std::uint8_t opcode, std::uint64_t nth)
    : reached_(state_->reach.get_future()) {
  std::shared_future<void> released = state_->release.get_future().share();
  h.Machine().AfterCommand(h.Reader(), opcode, nth, [state = state_, released](emulator::Machine&) {
    state->reach.set_value();
    released.wait();
  });
}

Hold::~Hold() {
  Release();
}

bool Hold::Reached() {
  return reached_.wait_for(kWaitLimit) == std::future_status::ready;
}

void Hold::Release() {
  if (released_) return;
  released_ = true;
  state_->release.set_value();
}

}  // namespace tr350::test
