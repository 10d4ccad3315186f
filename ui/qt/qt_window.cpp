// One dialog of the Qt backend: its widget and controls made from the template, input turned into
// the dialog's commands, timers, the window menu, workers and the modal loop.
#include <QtCore/QEventLoop>
#include <QtCore/QTimer>
#include <QtGui/QCloseEvent>
#include <QtGui/QContextMenuEvent>
#include <QtGui/QKeyEvent>
#include <QtGui/QPainter>
#include <QtWidgets/QDialog>
#include <QtWidgets/QLabel>
#include <QtWidgets/QLineEdit>
#include <QtWidgets/QMenu>
#include <QtWidgets/QPlainTextEdit>
#include <QtWidgets/QProgressBar>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QStyle>

#include <algorithm>
#include <climits>
#include <system_error>

#include "ui/qt/qt_internal.h"

namespace tr350::ui::qt {
namespace {

// The margin the dialog manager's layouts keep to a dialog's edge, in dialog units.
constexpr int kMarginUnits = 7;
// The shortest period the system's timers have.
constexpr std::uint32_t kMinimumTimerMs = 10;

QString ToQString(std::u16string_view text) {
  return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}

std::u16string ToU16(const QString& text) {
  return text.toStdU16String();
}

// A static text without the no-prefix style takes "&" as the mark of a mnemonic, which a label
// does not show; "&&" stands for "&".
QString StaticCaption(std::u16string_view text, ControlStyle style) {
  QString caption = ToQString(text);
  if (HasFlag(style, ControlStyle::kNoPrefix)) return caption;
  QString out;
  for (qsizetype i = 0; i < caption.size(); ++i) {
    if (caption[i] == u'&' && i + 1 < caption.size()) ++i;
    out.append(caption[i]);
  }
  return out;
}

QString EditText(std::u16string_view text, bool multiLine) {
  QString out = ToQString(text);
  if (multiLine) out.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  return out;
}

// Read-only edits have the dialog's face colour, as the system draws them.
void ShowAsReadOnly(QWidget* edit) {
  QPalette palette = edit->palette();
  palette.setColor(QPalette::Base, palette.color(QPalette::Window));
  edit->setPalette(palette);
}

}  // namespace

// The dialog's widget: hands its input to the window.
class DialogWidget final : public QDialog {
 public:
  DialogWidget(QtWindow& window, QWidget* parent, Qt::WindowFlags flags)
      : QDialog(parent, flags), window_(window) {}

 protected:
  void keyPressEvent(QKeyEvent* event) override {
    if (event->modifiers() == Qt::NoModifier || event->modifiers() == Qt::KeypadModifier) {
      switch (event->key()) {
        case Qt::Key_Escape:
          window_.DeliverCommand(IDCANCEL);
          return;
        case Qt::Key_Return:
        case Qt::Key_Enter:
          window_.DeliverEnter();
          return;
        case Qt::Key_F1:
          if (window_.OpenFirstMenuItem()) return;
          break;
        default:
          break;
      }
    }
    // Not QDialog's: it would end the widget's own loop on Escape and Enter.
    QWidget::keyPressEvent(event);
  }
  void closeEvent(QCloseEvent* event) override {
    // The dialog decides: the window goes when its modal loop ends.
    event->ignore();
    window_.DeliverSysCommand(SC_CLOSE);
  }
  void contextMenuEvent(QContextMenuEvent* event) override {
    window_.ShowWindowMenu(event->globalPos());
  }
  void paintEvent(QPaintEvent* event) override {
    QDialog::paintEvent(event);
    window_.DeliverPaint();
  }

 private:
  QtWindow& window_;
};

QtWindow::QtWindow(QtUi::Impl& ui, const DialogTemplate& dialog, WindowEvents& events,
                   std::uint64_t serial)
    : ui_(ui),
      events_(events),
      serial_(serial),
      templateId_(dialog.id),
      hasSystemMenu_(HasFlag(dialog.style, WindowStyle::kSystemMenu)) {
  const bool appWindow = HasFlag(dialog.style, WindowStyle::kAppWindow);
  Qt::WindowFlags flags = appWindow ? Qt::Window : Qt::Dialog;
  flags |= Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint;
  if (hasSystemMenu_) flags |= Qt::WindowSystemMenuHint;
  // A window with a taskbar button of its own can be minimised from there, so from its frame too.
  if (appWindow) flags |= Qt::WindowMinimizeButtonHint;
  // Dialogs belong to the newest open window, as the system's dialogs belong to the main window.
  widget_ = new DialogWidget(*this, appWindow ? nullptr : ui_.TopWidget(), flags);
  widget_->setWindowModality(Qt::ApplicationModal);
  widget_->setWindowTitle(ToQString(dialog.title));
  widget_->setFont(DialogFont(dialog, ui_.language));
  units_ = DialogBaseUnits(widget_->font());
  widget_->setFixedSize(
      DialogToPixels(DialogRect{0, 0, dialog.width, dialog.height}, units_).size());
  BuildControls(dialog);
  ui_.windows.push_back(this);
}

QtWindow::~QtWindow() {
  ServeWorkersUntilEnded();
  std::erase(ui_.windows, this);
  delete widget_.data();
}

void QtWindow::BuildControls(const DialogTemplate& dialog) {
  QWidget* previousTabStop = nullptr;
  for (const ControlTemplate& t : dialog.controls) {
    QWidget* widget = nullptr;
    const bool tabStop = HasFlag(t.style, ControlStyle::kTabStop);
    const bool border = HasFlag(t.style, ControlStyle::kBorder);
    const bool readOnly = HasFlag(t.style, ControlStyle::kReadOnly);
    switch (t.kind) {
      case ControlKind::kStaticText: {
        auto* label = new QLabel(StaticCaption(t.caption, t.style), widget_);
        label->setTextFormat(Qt::PlainText);
        label->setWordWrap(true);
        label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        widget = label;
        break;
      }
      case ControlKind::kStaticIcon: {
        auto* label = new QLabel(widget_);
        const int size = widget_->style()->pixelMetric(QStyle::PM_LargeIconSize);
        label->setPixmap(ui_.backend.IconOf(t.iconResource).pixmap(size, size));
        label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        widget = label;
        break;
      }
      case ControlKind::kEdit: {
        if (HasFlag(t.style, ControlStyle::kMultiLine)) {
          auto* edit = new QPlainTextEdit(EditText(t.caption, true), widget_);
          edit->setReadOnly(readOnly);
          edit->setFrameShape(border ? QFrame::StyledPanel : QFrame::NoFrame);
          edit->setLineWrapMode(QPlainTextEdit::WidgetWidth);
          edit->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
          // Where the system would clip a long message, a scroll bar shows the rest.
          edit->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
          edit->setTabChangesFocus(true);
          widget = edit;
        } else {
          auto* edit = new QLineEdit(EditText(t.caption, false), widget_);
          edit->setReadOnly(readOnly);
          edit->setFrame(border);
          widget = edit;
        }
        if (readOnly) ShowAsReadOnly(widget);
        break;
      }
      case ControlKind::kPushButton: {
        auto* button = new QPushButton(ToQString(t.caption), widget_);
        // A focused button takes Enter, as the dialog manager makes it the default meanwhile.
        button->setAutoDefault(true);
        button->setDefault(HasFlag(t.style, ControlStyle::kDefaultButton));
        const int id = t.id;
        QObject::connect(button, &QPushButton::clicked, widget_,
                         [this, id] { DeliverCommand(id); });
        widget = button;
        break;
      }
      case ControlKind::kProgress: {
        auto* bar = new QProgressBar(widget_);
        bar->setTextVisible(false);
        bar->setRange(0, 100);
        bar->setValue(0);
        widget = bar;
        break;
      }
    }
    if (t.kind == ControlKind::kStaticText || t.kind == ControlKind::kStaticIcon ||
        t.kind == ControlKind::kProgress) {
      widget->setFocusPolicy(Qt::NoFocus);
    } else {
      widget->setFocusPolicy(tabStop ? Qt::StrongFocus : Qt::ClickFocus);
    }
    widget->setGeometry(DialogToPixels(t.rect, units_));
    widget->setHidden(!t.visible);
    if (tabStop) {
      if (previousTabStop != nullptr) QWidget::setTabOrder(previousTabStop, widget);
      previousTabStop = widget;
    }
    controls_.push_back(Control{t.id, t.kind, t.style, t.rect, widget});
    if (t.kind == ControlKind::kStaticText) FitStaticText(controls_.back());
  }
}

// A static text longer than its template's box grows to the dialog's right margin, then
// downwards, so that no words are cut off.
void QtWindow::FitStaticText(const Control& control) {
  auto* label = static_cast<QLabel*>(control.widget);
  const QRect box = DialogToPixels(control.rect, units_);
  const int rightEdge = widget_->width() - DialogToPixels({kMarginUnits, 0, 0, 0}, units_).x();
  const int wanted = label->fontMetrics().horizontalAdvance(label->text()) + 2;
  const int width = std::clamp(wanted, box.width(), std::max(box.width(), rightEdge - box.x()));
  const int height = std::max(box.height(), label->heightForWidth(width));
  label->setGeometry(box.x(), box.y(), width, height);
}

const QtWindow::Control* QtWindow::Find(int id) const {
  const auto it = std::ranges::find(controls_, id, &Control::id);
  return it == controls_.end() ? nullptr : &*it;
}

QDialog* QtWindow::Widget() const {
  return widget_.data();
}

QWidget* QtWindow::ControlWidget(int id) const {
  const Control* control = Find(id);
  return control != nullptr ? control->widget : nullptr;
}

// ---- Controls -----------------------------------------------------------------------------------

void QtWindow::ShowControl(int id, bool show) {
  OnWindowThread([&] {
    const Control* control = Find(id);
    if (control == nullptr) return;
    control->widget->setHidden(!show);
    if (show && pendingFocus_ == id) {
      pendingFocus_ = 0;
      control->widget->setFocus(Qt::OtherFocusReason);
    }
  });
}

void QtWindow::EnableControl(int id, bool enable) {
  OnWindowThread([&] {
    if (const Control* control = Find(id)) control->widget->setEnabled(enable);
  });
}

void QtWindow::SetControlText(int id, std::u16string_view text) {
  OnWindowThread([&] {
    const Control* control = Find(id);
    if (control == nullptr) return;
    switch (control->kind) {
      case ControlKind::kStaticText:
        static_cast<QLabel*>(control->widget)->setText(StaticCaption(text, control->style));
        FitStaticText(*control);
        break;
      case ControlKind::kEdit:
        if (auto* edit = qobject_cast<QPlainTextEdit*>(control->widget)) {
          edit->setPlainText(EditText(text, true));
        } else {
          static_cast<QLineEdit*>(control->widget)->setText(EditText(text, false));
        }
        break;
      case ControlKind::kPushButton:
        static_cast<QPushButton*>(control->widget)->setText(ToQString(text));
        break;
      case ControlKind::kStaticIcon:
      case ControlKind::kProgress:
        break;
    }
  });
}

std::u16string QtWindow::ControlText(int id) {
  return OnWindowThread([&]() -> std::u16string {
    const Control* control = Find(id);
    if (control == nullptr) return {};
    if (auto* label = qobject_cast<QLabel*>(control->widget)) return ToU16(label->text());
    if (auto* edit = qobject_cast<QPlainTextEdit*>(control->widget)) {
      // A multi-line edit hands out its lines with Windows line ends.
      return ToU16(edit->toPlainText().replace(QStringLiteral("\n"), QStringLiteral("\r\n")));
    }
    if (auto* edit = qobject_cast<QLineEdit*>(control->widget)) return ToU16(edit->text());
    if (auto* button = qobject_cast<QPushButton*>(control->widget)) return ToU16(button->text());
    return {};
  });
}

bool QtWindow::IsControlVisible(int id) {
  return OnWindowThread([&] {
    const Control* control = Find(id);
    return control != nullptr && !control->widget->isHidden();
  });
}

bool QtWindow::IsControlEnabled(int id) {
  return OnWindowThread([&] {
    const Control* control = Find(id);
    return control != nullptr && control->widget->isEnabled();
  });
}

void QtWindow::SetProgressRange(int id, int low, int high) {
  OnWindowThread([&] {
    const Control* control = Find(id);
    if (control == nullptr || control->kind != ControlKind::kProgress) return;
    auto* bar = static_cast<QProgressBar*>(control->widget);
    bar->setRange(low, std::max(low, high));
    // The bar keeps its position inside the new range; Qt's would reset it.
    int& position = progressPos_[id];
    position = std::clamp(position, bar->minimum(), bar->maximum());
    bar->setValue(position);
  });
}

void QtWindow::SetProgressPos(int id, int position) {
  OnWindowThread([&] {
    const Control* control = Find(id);
    if (control == nullptr || control->kind != ControlKind::kProgress) return;
    auto* bar = static_cast<QProgressBar*>(control->widget);
    // Clamped, as the system's bar does; Qt's would ignore a position outside the range.
    progressPos_[id] = std::clamp(position, bar->minimum(), bar->maximum());
    bar->setValue(progressPos_[id]);
  });
}

void QtWindow::FocusControl(int id) {
  OnWindowThread([&] {
    const Control* control = Find(id);
    if (control == nullptr) return;
    // Qt gives a hidden widget no focus: it takes the focus when it is shown.
    pendingFocus_ = control->widget->isHidden() ? id : 0;
    if (pendingFocus_ == 0) control->widget->setFocus(Qt::OtherFocusReason);
  });
}

// ---- The window ---------------------------------------------------------------------------------

void QtWindow::SetTitle(std::u16string_view title) {
  OnWindowThread([&] { widget_->setWindowTitle(ToQString(title)); });
}

std::u16string QtWindow::Title() {
  return OnWindowThread([&] { return ToU16(widget_->windowTitle()); });
}

void QtWindow::SetIcon(Icon icon, bool) {
  // One icon with every size serves the title bar, the task bar and the switcher.
  OnWindowThread([&] { widget_->setWindowIcon(ui_.backend.IconOf(icon.resourceId)); });
}

bool QtWindow::HasSystemMenu() {
  return hasSystemMenu_;
}

void QtWindow::AppendSystemMenuSeparator() {
  AppendSystemMenuItem(0, u"");
}

void QtWindow::AppendSystemMenuItem(std::uint32_t id, std::u16string_view text) {
  OnWindowThread([&] { menu_.push_back(MenuItem{id, std::u16string(text)}); });
}

void QtWindow::ShowWindowMenu(const QPoint& globalPos) {
  if (ended_) return;
  QMenu menu(widget_);
  for (const MenuItem& item : menu_) {
    if (item.id == 0) {
      menu.addSeparator();  // QMenu hides separators at its ends
      continue;
    }
    const std::uint32_t id = item.id;
    QObject::connect(menu.addAction(ToQString(item.text)), &QAction::triggered, widget_,
                     [this, id] { DeliverSysCommand(id); });
  }
  if (menu.actions().isEmpty()) return;
  menu.exec(globalPos);
}

bool QtWindow::OpenFirstMenuItem() {
  const auto it = std::ranges::find_if(menu_, [](const MenuItem& item) { return item.id != 0; });
  if (it == menu_.end() || ended_) return false;
  DeliverSysCommand(it->id);
  return true;
}

bool QtWindow::SetTimer(std::uintptr_t id, std::uint32_t periodMs) {
  return OnWindowThread([&] {
    if (ended_) return false;
    QTimer*& timer = timers_[id];
    if (timer == nullptr) {
      timer = new QTimer(widget_);
      QObject::connect(timer, &QTimer::timeout, widget_, [this, id] {
        if (!ended_) events_.OnTimer(id);
      });
    }
    timer->start(static_cast<int>(std::clamp<std::uint32_t>(periodMs, kMinimumTimerMs, INT_MAX)));
    return true;
  });
}

void QtWindow::KillTimer(std::uintptr_t id) {
  OnWindowThread([&] {
    const auto it = timers_.find(id);
    if (it == timers_.end()) return;
    delete it->second;
    timers_.erase(it);
  });
}

int QtWindow::MessageBox(std::u16string_view text, std::optional<std::u16string_view> caption,
                         MessageBoxIcon icon) {
  return OnWindowThread([&] { return ui_.ShowMessageBox(widget_, text, caption, icon); });
}

// ---- Workers and the modal loop -----------------------------------------------------------------

bool QtWindow::BeginThread(std::function<void()> body) {
  return OnWindowThread([&] {
    if (ended_) return false;
    try {
      workers_.emplace_back([this, work = std::move(body)] {
        work();
        // The last thing the worker does: the window's thread counts it out and joins it.
        ui_.queue.Post([this] {
          --liveWorkers_;
          if (liveWorkers_ == 0 && workerWait_ != nullptr) workerWait_->quit();
        });
      });
    } catch (const std::system_error&) {
      return false;
    }
    ++liveWorkers_;
    return true;
  });
}

void QtWindow::ServeWorkersUntilEnded() {
  while (liveWorkers_ > 0) {
    QEventLoop wait;
    workerWait_ = &wait;
    wait.exec();
    workerWait_ = nullptr;
  }
  for (std::thread& worker : workers_) worker.join();
  workers_.clear();
}

int QtWindow::RunModal() {
  if (!ended_) {
    widget_->show();
    widget_->activateWindow();
    QEventLoop loop;
    loop_ = &loop;
    loop.exec(QEventLoop::DialogExec);
    loop_ = nullptr;
  }
  widget_->hide();
  // The workers use the dialog object: the loop returns only after they have ended.
  ServeWorkersUntilEnded();
  return result_;
}

void QtWindow::EndModal(int result) {
  OnWindowThread([&] {
    if (ended_) return;
    ended_ = true;
    result_ = result;
    for (auto& [id, timer] : timers_) delete timer;
    timers_.clear();
    widget_->hide();
    if (loop_ != nullptr) loop_->exit(0);
  });
}

// ---- Input --------------------------------------------------------------------------------------

void QtWindow::DeliverCommand(int id) {
  if (!ended_) events_.OnCommand(id);
}

void QtWindow::DeliverSysCommand(std::uint32_t id) {
  if (!ended_) events_.OnSysCommand(id, 0);
}

void QtWindow::DeliverEnter() {
  // The default button's command, else IDOK; nothing when that control is there but unusable.
  const auto isDefault = [](const Control& c) {
    return c.kind == ControlKind::kPushButton && HasFlag(c.style, ControlStyle::kDefaultButton);
  };
  const auto it = std::ranges::find_if(controls_, isDefault);
  const int id = it != controls_.end() ? it->id : IDOK;
  const Control* control = Find(id);
  if (control != nullptr && (control->widget->isHidden() || !control->widget->isEnabled())) return;
  DeliverCommand(id);
}

void QtWindow::DeliverPaint() {
  painting_ = true;
  events_.OnPaint();
  painting_ = false;
}

void QtWindow::DeliverDeviceChange(platform::DeviceChange change) {
  events_.OnDeviceChange(change);
}

// ---- Painting -----------------------------------------------------------------------------------

bool QtWindow::IsIconic() {
  return OnWindowThread([&] { return widget_->isMinimized(); });
}

Size QtWindow::ClientSize() {
  return OnWindowThread([&] { return Size{widget_->width(), widget_->height()}; });
}

Size QtWindow::IconSize() {
  return OnWindowThread([&] {
    const int size = widget_->style()->pixelMetric(QStyle::PM_LargeIconSize);
    return Size{size, size};
  });
}

void QtWindow::PaintIcon(Icon icon, int x, int y) {
  OnWindowThread([&] {
    // Only inside a paint event; the desktop shows a minimised window's icon itself.
    if (!painting_) return;
    QPainter painter(widget_);
    painter.fillRect(widget_->rect(), widget_->palette().window());
    const Size size = IconSize();
    ui_.backend.IconOf(icon.resourceId).paint(&painter, QRect(x, y, size.width, size.height));
  });
}

}  // namespace tr350::ui::qt
