// The Qt backend's core: the task queue to the window's thread, fonts and dialog units, message
// boxes, device changes and the backend object.
#include "ui/qt/qt_ui.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <QtCore/QCoreApplication>
#include <QtCore/QEvent>
#include <QtCore/QSocketNotifier>
#include <QtGui/QFontDatabase>
#include <QtGui/QFontInfo>
#include <QtGui/QFontMetrics>
#include <QtWidgets/QApplication>
#include <QtWidgets/QDialog>
#include <QtWidgets/QMessageBox>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <exception>
#include <system_error>

#include "ui/qt/qt_internal.h"

namespace tr350::ui::qt {
namespace {

// The event that makes the queue run its next task; posted by the window's thread to itself.
constexpr auto kDrainEvent = static_cast<QEvent::Type>(QEvent::User + 0x350);

QString ToQString(std::u16string_view text) {
  return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}

// Message texts come with Windows line ends.
QString MessageText(std::u16string_view text) {
  QString out = ToQString(text);
  out.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  return out;
}

QString DesktopSansSerif() {
  QFont probe(QStringLiteral("sans-serif"));
  probe.setStyleHint(QFont::SansSerif);
  return QFontInfo(probe).family();
}

// Traditional Chinese for every variant but Japanese: the neutral strings are Traditional Chinese.
QString CjkFamily(Language language) {
  return language == Language::kJapanese ? QStringLiteral("Noto Sans CJK JP")
                                         : QStringLiteral("Noto Sans CJK TC");
}

bool IsShellFont(std::u16string_view face) {
  return face == u"MS Shell Dlg" || face == u"MS Shell Dlg 2" || face == u"MS Sans Serif";
}

QMessageBox::Icon BoxIcon(MessageBoxIcon icon) {
  switch (icon) {
    case MessageBoxIcon::kError:
      return QMessageBox::Critical;
    case MessageBoxIcon::kWarning:
      return QMessageBox::Warning;
    case MessageBoxIcon::kInformation:
      return QMessageBox::Information;
    case MessageBoxIcon::kNone:
      break;
  }
  return QMessageBox::NoIcon;
}

int MulDiv(int value, int numerator, int denominator) {
  // Rounds half away from zero, as the system's MulDiv does.
  const long long product = static_cast<long long>(value) * numerator;
  const long long half = denominator / 2;
  return static_cast<int>(product >= 0 ? (product + half) / denominator
                                       : (product - half) / denominator);
}

}  // namespace

// ---- Dialog units and fonts ---------------------------------------------------------------------

BaseUnits DialogBaseUnits(const QFont& font) {
  const QFontMetrics metrics(font);
  const int letters = metrics.horizontalAdvance(
      QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  return BaseUnits{(letters / 26 + 1) / 2, metrics.height()};
}

QRect DialogToPixels(DialogRect rect, BaseUnits units) {
  return QRect(MulDiv(rect.x, units.x, 4), MulDiv(rect.y, units.y, 8),
               MulDiv(rect.width, units.x, 4), MulDiv(rect.height, units.y, 8));
}

QFont DialogFont(const DialogTemplate& dialog, Language language) {
  QStringList families;
  const QString face = ToQString(dialog.font);
  if (!IsShellFont(dialog.font) && QFontDatabase::hasFamily(face)) families << face;
  families << DesktopSansSerif() << CjkFamily(language);
  QFont font;
  font.setFamilies(families);
  font.setStyleHint(QFont::SansSerif);
  font.setPointSize(std::max<int>(dialog.fontPoints, 1));
  font.setWeight(static_cast<QFont::Weight>(std::clamp<int>(dialog.fontWeight, 1, 1000)));
  return font;
}

// ---- The task queue -----------------------------------------------------------------------------

TaskQueue::TaskQueue() : eventFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (eventFd_ < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
  notifier_ =
      std::make_unique<QSocketNotifier>(static_cast<qintptr>(eventFd_), QSocketNotifier::Read);
  QObject::connect(notifier_.get(), &QSocketNotifier::activated, this, [this] { OnWake(); });
}

TaskQueue::~TaskQueue() {
  notifier_.reset();
  ::close(eventFd_);
  RunPending();
}

void TaskQueue::RunPending() {
  // A task left in the queue would strand its sender.
  for (;;) {
    std::function<void()> task;
    {
      std::lock_guard lock(mutex_);
      if (tasks_.empty()) break;
      task = std::move(tasks_.front());
      tasks_.pop_front();
    }
    task();
  }
}

void TaskQueue::Post(std::function<void()> task) {
  {
    std::lock_guard lock(mutex_);
    tasks_.push_back(std::move(task));
  }
  Wake();
}

void TaskQueue::SendAndWait(const std::function<void()>& task) {
  bool done = false;
  std::exception_ptr error;
  Post([this, &task, &done, &error] {
    try {
      task();
    } catch (...) {
      error = std::current_exception();
    }
    std::lock_guard lock(mutex_);
    done = true;
    done_.notify_all();
  });
  std::unique_lock lock(mutex_);
  done_.wait(lock, [&done] { return done; });
  lock.unlock();
  if (error) std::rethrow_exception(error);
}

void TaskQueue::Wake() {
  const std::uint64_t one = 1;
  // Only fails when the counter is about to overflow, and then a wake-up is pending anyway.
  [[maybe_unused]] const ssize_t written = ::write(eventFd_, &one, sizeof one);
}

void TaskQueue::OnWake() {
  std::uint64_t count = 0;
  [[maybe_unused]] const ssize_t read = ::read(eventFd_, &count, sizeof count);
  PostDrain();
}

void TaskQueue::PostDrain() {
  if (drainPosted_) return;
  drainPosted_ = true;
  QCoreApplication::postEvent(this, new QEvent(kDrainEvent));
}

bool TaskQueue::event(QEvent* event) {
  if (event->type() != kDrainEvent) return QObject::event(event);
  drainPosted_ = false;
  std::function<void()> task;
  bool more = false;
  {
    std::lock_guard lock(mutex_);
    if (tasks_.empty()) return true;
    task = std::move(tasks_.front());
    tasks_.pop_front();
    more = !tasks_.empty();
  }
  if (more) PostDrain();
  task();
  return true;
}

// ---- The backend's state ------------------------------------------------------------------------

QtUi::Impl::Impl(QtUi& owner, QtOptions options)
    : backend(owner),
      language(LocaleLanguage(options.locale)),
      resources(options.resources),
      icons(std::move(options.icons)),
      windowThread(std::this_thread::get_id()) {}

void QtUi::Impl::Send(const std::function<void()>& task) {
  if (std::this_thread::get_id() == windowThread) {
    task();
  } else {
    queue.SendAndWait(task);
  }
}

QtWindow* QtUi::Impl::FindWindow(std::uint64_t serial) const {
  const auto it = std::ranges::find(windows, serial, &QtWindow::Serial);
  return it == windows.end() ? nullptr : *it;
}

void QtUi::Impl::DeliverDeviceChange(platform::DeviceChange change) {
  // A handler may open or close windows: look each one up again before it gets the change.
  std::vector<std::uint64_t> serials;
  for (const QtWindow* window : windows) serials.push_back(window->Serial());
  for (const std::uint64_t serial : serials) {
    QtWindow* window = FindWindow(serial);
    if (window != nullptr && !window->Ended()) window->DeliverDeviceChange(change);
  }
}

QWidget* QtUi::Impl::TopWidget() const {
  for (auto it = windows.rbegin(); it != windows.rend(); ++it) {
    if (!(*it)->Ended()) return (*it)->Widget();
  }
  return nullptr;
}

int QtUi::Impl::ShowMessageBox(QWidget* owner, std::u16string_view text,
                               std::optional<std::u16string_view> caption, MessageBoxIcon icon) {
  QMessageBox box(BoxIcon(icon), ToQString(caption.value_or(kDefaultMessageBoxCaption)),
                  MessageText(text), QMessageBox::Ok, owner);
  box.setTextFormat(Qt::PlainText);
  QFont font = QApplication::font();
  QStringList families = font.families().isEmpty() ? QStringList{font.family()} : font.families();
  families << CjkFamily(language);
  font.setFamilies(families);
  box.setFont(font);
  box.setWindowModality(Qt::ApplicationModal);
  boxes.push_back(&box);
  box.exec();
  std::erase(boxes, &box);
  // A box with one OK button answers OK however it was closed.
  return IDOK;
}

// ---- The backend --------------------------------------------------------------------------------

QtUi::QtUi(QtOptions options) {
  platform::DeviceNotifications& notifications = options.notifications != nullptr
                                                     ? *options.notifications
                                                     : platform::Current().Notifications();
  impl_ = std::make_unique<Impl>(*this, std::move(options));
  Impl* impl = impl_.get();
  // The listener runs on the monitor's thread and only queues the change.
  impl_->subscription = notifications.Subscribe([impl](platform::DeviceChange change) {
    impl->queue.Post([impl, change] { impl->DeliverDeviceChange(change); });
  });
}

QtUi::~QtUi() {
  impl_->subscription.reset();
  // What is still queued runs while the backend is whole.
  impl_->queue.RunPending();
}

Language QtUi::UserLanguage() const {
  return impl_->language;
}

const UiResources& QtUi::Resources() const {
  return impl_->resources;
}

std::unique_ptr<Window> QtUi::CreateDialogWindow(const DialogTemplate& dialog,
                                                 WindowEvents& events) {
  if (!OnWindowThread()) return nullptr;
  return std::make_unique<QtWindow>(*impl_, dialog, events, impl_->nextSerial++);
}

bool QtUi::OnWindowThread() const {
  return std::this_thread::get_id() == impl_->windowThread;
}

void QtUi::Send(const std::function<void()>& task) {
  impl_->Send(task);
}

Icon QtUi::LoadIcon(int resourceId) {
  return impl_->icons.contains(resourceId) ? Icon{resourceId} : Icon{};
}

void QtUi::Post(std::function<void()> task) {
  impl_->queue.Post(std::move(task));
}

QDialog* QtUi::NewestDialog(int templateId) const {
  for (auto it = impl_->windows.rbegin(); it != impl_->windows.rend(); ++it) {
    if ((*it)->TemplateId() == templateId && !(*it)->Ended()) return (*it)->Widget();
  }
  return nullptr;
}

QWidget* QtUi::Control(int templateId, int controlId) const {
  for (auto it = impl_->windows.rbegin(); it != impl_->windows.rend(); ++it) {
    if ((*it)->TemplateId() == templateId && !(*it)->Ended())
      return (*it)->ControlWidget(controlId);
  }
  return nullptr;
}

QMessageBox* QtUi::NewestMessageBox() const {
  return impl_->boxes.empty() ? nullptr : impl_->boxes.back();
}

QIcon QtUi::IconOf(int resourceId) const {
  const auto it = impl_->icons.find(resourceId);
  return it == impl_->icons.end() ? QIcon() : it->second;
}

bool CanShowWindows() {
  for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return true;
  }
  return false;
}

}  // namespace tr350::ui::qt
