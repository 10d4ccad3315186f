// The headless backend's inner state, shared by its event loop, its windows and the backend
// object: the window records, timers, workers, the queue and the change log. Internal.
#pragma once

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
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "ui/headless/headless_ui.h"

namespace tr350::ui::headless {
namespace detail {

struct WindowRecord {
  WindowState state;
  WindowEvents* events = nullptr;  // dialogs only
  int result = 0;
  std::size_t liveThreads = 0;
  bool scripted = false;  // opened while another window was open: the script sees it
};

struct TimerRecord {
  std::uint64_t window = 0;
  std::uintptr_t id = 0;
  std::uint32_t periodMs = 0;
  std::uint64_t dueMs = 0;
  std::uint64_t order = 0;  // arming order breaks ties between timers due together
};

struct Worker {
  std::thread thread;
  bool done = false;
};

}  // namespace detail

struct HeadlessUi::State {
  using WindowRecord = detail::WindowRecord;
  using TimerRecord = detail::TimerRecord;
  using Worker = detail::Worker;

  State(platform::Clock& c, Language l, UiResources r) : clock(c), language(l), resources(r) {}

  platform::Clock& clock;
  const Language language;
  const UiResources resources;

  mutable std::mutex mutex;
  std::condition_variable wake;             // the loop waits on it
  mutable std::condition_variable changed;  // observers and senders wait on it
  std::deque<std::function<void()>> queue;
  std::map<std::uint64_t, WindowRecord> windows;  // by serial, so in the order opened
  std::vector<TimerRecord> timers;
  std::list<Worker> workers;
  std::size_t liveThreads = 0;
  std::uint64_t nextSerial = 1;
  std::uint64_t nextTimerOrder = 0;
  std::optional<std::thread::id> windowThread;
  bool loopWaiting = false;
  int sentDepth = 0;  // window's thread only: >0 while it runs an operation another thread sent
  std::uint32_t failThreadStarts = 0;
  std::vector<Change> log;
  ModalScript script;
  ChangeListener listener;

  // ---- Helpers; "Locked" ones expect the mutex held -----------------------------------------

  bool OnWindowThreadLocked() const {
    return windowThread && *windowThread == std::this_thread::get_id();
  }

  WindowRecord* FindLocked(std::uint64_t serial) {
    const auto it = windows.find(serial);
    return it == windows.end() ? nullptr : &it->second;
  }

  ControlState* ControlLocked(std::uint64_t serial, int id) {
    WindowRecord* record = FindLocked(serial);
    if (record == nullptr) return nullptr;
    const auto it = std::ranges::find(record->state.controls, id, &ControlState::id);
    return it == record->state.controls.end() ? nullptr : &*it;
  }

  // The window that takes input: the newest one that has not ended.
  std::uint64_t TopLocked() const {
    for (auto it = windows.rbegin(); it != windows.rend(); ++it) {
      if (!it->second.state.ended) return it->first;
    }
    return 0;
  }

  std::uint64_t NewestDialogLocked(int templateId) const {
    for (auto it = windows.rbegin(); it != windows.rend(); ++it) {
      const WindowState& w = it->second.state;
      if (!w.messageBox && !w.ended && w.templateId == templateId) return it->first;
    }
    return 0;
  }

  Change MakeChange(std::uint64_t serial, int control, ChangeKind kind, std::int64_t value = 0,
                    std::int64_t value2 = 0, std::u16string text = {}) {
    const WindowRecord* record = FindLocked(serial);
    return Change{serial,         record != nullptr ? record->state.templateId : 0,
                  control,        kind,
                  value,          value2,
                  std::move(text)};
  }

  // Runs `f` under the lock; the change it returns is logged and, after the lock is released,
  // handed to the listener.
  template <typename F>
  void Mutate(F&& f) {
    std::optional<Change> change;
    ChangeListener copy;
    {
      std::lock_guard lock(mutex);
      change = f();
      if (!change) return;
      log.push_back(*change);
      changed.notify_all();
      copy = listener;
    }
    if (copy) copy(*change);
  }

  void Post(std::function<void()> event);
  void Send(const std::function<void()>& task);
  // Joins the workers that have ended; true when there were any.
  bool ReapLocked(std::unique_lock<std::mutex>& lock);
  // The loop: runs until `done` (evaluated under the lock) holds. See the class comment.
  void PumpUntil(const std::function<bool()>& done);
  bool FireDueTimer(std::unique_lock<std::mutex>& lock, std::uint64_t now);
  void EndLocked(WindowRecord& record, int result);

  // ---- Input (window's thread) -----------------------------------------------------------------

  void Dropped(std::uint64_t serial, int id);
  // A button press on a window: closes a message box, or is a click on a dialog's control.
  void DeliverPress(std::uint64_t serial, int button);
  // Keyboard and system-menu input to the newest dialog of a template.
  void DeliverToDialog(int templateId, int id, const std::function<void(WindowEvents&)>& deliver);
  void DeliverDeviceChange(platform::DeviceChange change);

  // ---- Modal boxes (window's thread) ------------------------------------------------------------

  int ShowMessageBox(std::uint64_t owner, std::u16string_view text,
                     std::optional<std::u16string_view> caption, MessageBoxIcon icon);
};

namespace detail {

// A window of the backend, the one with this serial; ends it when destroyed.
std::unique_ptr<Window> MakeWindow(HeadlessUi::State& state, std::uint64_t serial);

}  // namespace detail
}  // namespace tr350::ui::headless
