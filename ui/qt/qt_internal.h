// Inside the Qt backend: the queue that carries calls to the window's thread, the backend's state,
// and one dialog window with its widgets, timers and workers.
#pragma once

#include <QtCore/QObject>
#include <QtCore/QPointer>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "ui/qt/qt_ui.h"

class QDialog;
class QEvent;
class QEventLoop;
class QPoint;
class QMessageBox;
class QSocketNotifier;
class QTimer;

namespace tr350::ui::qt {

// Tasks for the window's thread, in the order queued. Other threads push under a std::mutex and
// wake the window's thread through an eventfd; the window's thread then runs one task per posted
// event, reposting first, so that a task that opens a modal loop lets the rest run inside it.
// Thread-safe; made and destroyed on the window's thread.
class TaskQueue final : public QObject {
 public:
  TaskQueue();
  ~TaskQueue() override;
  TaskQueue(const TaskQueue&) = delete;
  TaskQueue& operator=(const TaskQueue&) = delete;

  void Post(std::function<void()> task);
  // Another thread: runs the task on the window's thread and waits for it; rethrows what it threw.
  void SendAndWait(const std::function<void()>& task);
  // Window's thread: runs what is queued, and what those tasks queue, now.
  void RunPending();

 protected:
  bool event(QEvent* event) override;

 private:
  void Wake();
  void OnWake();
  void PostDrain();

  std::mutex mutex_;
  std::condition_variable done_;
  std::deque<std::function<void()>> tasks_;
  int eventFd_ = -1;
  std::unique_ptr<QSocketNotifier> notifier_;
  bool drainPosted_ = false;  // window's thread only
};

class QtWindow;

// The backend's state. Window's thread only, except where marked.
struct QtUi::Impl {
  Impl(QtUi& owner, QtOptions options);

  // Runs at once on the window's thread; from another thread, there and waits.
  void Send(const std::function<void()>& task);
  void DeliverDeviceChange(platform::DeviceChange change);
  int ShowMessageBox(QWidget* owner, std::u16string_view text,
                     std::optional<std::u16string_view> caption, MessageBoxIcon icon);
  // The widget a new dialog belongs to: the newest open window's; null when none is open.
  QWidget* TopWidget() const;
  QtWindow* FindWindow(std::uint64_t serial) const;

  QtUi& backend;
  const Language language;  // all threads: constant
  const UiResources resources;
  const std::map<int, QIcon> icons;
  const std::thread::id windowThread;
  TaskQueue queue;                 // all threads
  std::vector<QtWindow*> windows;  // open, in the order opened
  std::vector<QMessageBox*> boxes;
  std::uint64_t nextSerial = 1;
  std::unique_ptr<platform::DeviceNotifications::Subscription> subscription;
};

class DialogWidget;

// One dialog. Its Window operations may come from any thread (see platform/ui.h); each runs on
// the window's thread. Everything else is window's thread only.
class QtWindow final : public Window {
 public:
  QtWindow(QtUi::Impl& ui, const DialogTemplate& dialog, WindowEvents& events,
           std::uint64_t serial);
  ~QtWindow() override;

  void ShowControl(int id, bool show) override;
  void EnableControl(int id, bool enable) override;
  void SetControlText(int id, std::u16string_view text) override;
  std::u16string ControlText(int id) override;
  bool IsControlVisible(int id) override;
  bool IsControlEnabled(int id) override;
  void SetProgressRange(int id, int low, int high) override;
  void SetProgressPos(int id, int position) override;
  void FocusControl(int id) override;
  void SetTitle(std::u16string_view title) override;
  std::u16string Title() override;
  void SetIcon(Icon icon, bool big) override;
  bool HasSystemMenu() override;
  void AppendSystemMenuSeparator() override;
  void AppendSystemMenuItem(std::uint32_t id, std::u16string_view text) override;
  bool SetTimer(std::uintptr_t id, std::uint32_t periodMs) override;
  void KillTimer(std::uintptr_t id) override;
  int MessageBox(std::u16string_view text, std::optional<std::u16string_view> caption,
                 MessageBoxIcon icon) override;
  bool BeginThread(std::function<void()> body) override;
  int RunModal() override;
  void EndModal(int result) override;
  bool IsIconic() override;
  Size ClientSize() override;
  Size IconSize() override;
  void PaintIcon(Icon icon, int x, int y) override;

  // ---- Window's thread --------------------------------------------------------------------------
  std::uint64_t Serial() const { return serial_; }
  int TemplateId() const { return templateId_; }
  bool Ended() const { return ended_; }
  QDialog* Widget() const;
  QWidget* ControlWidget(int id) const;

  // Input from the widget.
  void DeliverCommand(int id);
  void DeliverSysCommand(std::uint32_t id);
  void DeliverEnter();
  void DeliverPaint();
  void DeliverDeviceChange(platform::DeviceChange change);
  void ShowWindowMenu(const QPoint& globalPos);
  bool OpenFirstMenuItem();

 private:
  struct Control {
    int id = 0;
    ControlKind kind = ControlKind::kStaticText;
    ControlStyle style = ControlStyle::kNone;
    DialogRect rect;
    QWidget* widget = nullptr;  // owned by the dialog widget
  };
  struct MenuItem {
    std::uint32_t id = 0;  // 0: a separator
    std::u16string text;
  };

  // Runs `f` on the window's thread and returns its result.
  template <typename F>
  auto OnWindowThread(F f) -> std::invoke_result_t<F&> {
    using R = std::invoke_result_t<F&>;
    if constexpr (std::is_void_v<R>) {
      ui_.Send(f);
    } else {
      std::optional<R> result;
      ui_.Send([&] { result.emplace(f()); });
      return std::move(*result);
    }
  }
  const Control* Find(int id) const;
  void BuildControls(const DialogTemplate& dialog);
  void FitStaticText(const Control& control);
  void ServeWorkersUntilEnded();

  QtUi::Impl& ui_;
  WindowEvents& events_;
  const std::uint64_t serial_;
  const int templateId_;
  const bool hasSystemMenu_;
  BaseUnits units_;
  QPointer<DialogWidget> widget_;
  std::vector<Control> controls_;
  std::vector<MenuItem> menu_;
  std::map<std::uintptr_t, QTimer*> timers_;
  std::map<int, int> progressPos_;  // the position each bar keeps inside its range
  int pendingFocus_ = 0;            // a hidden control that takes the focus when shown
  bool ended_ = false;
  int result_ = 0;
  bool painting_ = false;
  QEventLoop* loop_ = nullptr;        // the modal loop while it runs
  QEventLoop* workerWait_ = nullptr;  // the loop that serves workers after the modal loop
  std::list<std::thread> workers_;
  std::size_t liveWorkers_ = 0;
};

}  // namespace tr350::ui::qt
