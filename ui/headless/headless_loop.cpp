// The headless backend's event loop: queued and sent operations, timers on the platform clock,
// workers reaped as they end, input delivered to windows, and scripted modal boxes.
#include <algorithm>
#include <exception>
#include <iterator>
#include <system_error>

#include "ui/headless/headless_state.h"

namespace tr350::ui::headless {

void HeadlessUi::State::Post(std::function<void()> event) {
  std::lock_guard lock(mutex);
  queue.push_back(std::move(event));
  wake.notify_all();
  changed.notify_all();
}

void HeadlessUi::State::Send(const std::function<void()>& task) {
  std::unique_lock lock(mutex);
  if (!windowThread || OnWindowThreadLocked()) {
    lock.unlock();
    task();
    return;
  }
  struct Pending {
    bool done = false;
    std::exception_ptr error;
  };
  Pending pending;
  queue.push_back([this, &task, &pending] {
    ++sentDepth;
    try {
      task();
    } catch (...) {
      pending.error = std::current_exception();
    }
    --sentDepth;
    std::lock_guard done(mutex);
    pending.done = true;
    changed.notify_all();
  });
  wake.notify_all();
  changed.notify_all();
  changed.wait(lock, [&pending] { return pending.done; });
  lock.unlock();
  if (pending.error) std::rethrow_exception(pending.error);
}

// Joins the workers that have ended; true when there were any.
bool HeadlessUi::State::ReapLocked(std::unique_lock<std::mutex>& lock) {
  std::list<Worker> finished;
  for (auto it = workers.begin(); it != workers.end();) {
    const auto next = std::next(it);
    if (it->done) finished.splice(finished.end(), workers, it);
    it = next;
  }
  if (finished.empty()) return false;
  lock.unlock();
  for (Worker& worker : finished) worker.thread.join();
  lock.lock();
  return true;
}

// The loop: runs until `done` (evaluated under the lock) holds. See the class comment.
void HeadlessUi::State::PumpUntil(const std::function<bool()>& done) {
  std::unique_lock lock(mutex);
  while (!done()) {
    if (!queue.empty()) {
      std::function<void()> event = std::move(queue.front());
      queue.pop_front();
      changed.notify_all();
      lock.unlock();
      event();
      lock.lock();
      continue;
    }
    if (ReapLocked(lock)) continue;
    const std::uint64_t now = clock.NowMs();
    if (FireDueTimer(lock, now)) continue;
    if (!timers.empty() && liveThreads == 0) {
      const std::uint64_t next = std::ranges::min(timers, {}, &TimerRecord::dueMs).dueMs;
      const auto step = static_cast<std::uint32_t>(
          std::min<std::uint64_t>(next - now, std::uint64_t{HeadlessUi::kIdleSliceMs}));
      lock.unlock();
      clock.Sleep(step);
      lock.lock();
      continue;
    }
    loopWaiting = true;
    changed.notify_all();
    if (timers.empty()) {
      wake.wait(lock);
    } else {
      wake.wait_for(lock, HeadlessUi::kPollSlice);
    }
    loopWaiting = false;
  }
}

bool HeadlessUi::State::FireDueTimer(std::unique_lock<std::mutex>& lock, std::uint64_t now) {
  TimerRecord* due = nullptr;
  for (TimerRecord& timer : timers) {
    if (timer.dueMs > now) continue;
    if (due == nullptr || timer.dueMs < due->dueMs ||
        (timer.dueMs == due->dueMs && timer.order < due->order)) {
      due = &timer;
    }
  }
  if (due == nullptr) return false;
  // Periodic until killed, as the system's timers are.
  due->dueMs = platform::DeadlineAfter(now, due->periodMs);
  const std::uint64_t serial = due->window;
  const std::uintptr_t id = due->id;
  WindowRecord* record = FindLocked(serial);
  WindowEvents* events = record != nullptr ? record->events : nullptr;
  lock.unlock();
  Mutate([&]() -> std::optional<Change> {
    return MakeChange(serial, 0, ChangeKind::kTimerFired, static_cast<std::int64_t>(id));
  });
  if (events != nullptr) events->OnTimer(id);
  lock.lock();
  return true;
}

void HeadlessUi::State::EndLocked(WindowRecord& record, int result) {
  if (record.state.ended) return;
  record.state.ended = true;
  record.result = result;
  std::erase_if(timers,
                [&](const TimerRecord& timer) { return timer.window == record.state.serial; });
  wake.notify_all();
  changed.notify_all();
}

// ---- Input (window's thread) -------------------------------------------------------------------

void HeadlessUi::State::Dropped(std::uint64_t serial, int id) {
  Mutate([&]() -> std::optional<Change> {
    return MakeChange(serial, id, ChangeKind::kInputDropped, id);
  });
}

// A button press on a window: closes a message box, or is a click on a dialog's control.
void HeadlessUi::State::DeliverPress(std::uint64_t serial, int button) {
  WindowEvents* events = nullptr;
  {
    std::lock_guard lock(mutex);
    WindowRecord* record = FindLocked(serial);
    if (record != nullptr && TopLocked() == serial) {
      if (record->state.messageBox) {
        EndLocked(*record, button);
        return;
      }
      const auto& controls = record->state.controls;
      const auto it = std::ranges::find(controls, button, &ControlState::id);
      if (it != controls.end() && it->visible && it->enabled &&
          it->kind == ControlKind::kPushButton) {
        events = record->events;
      }
    }
  }
  if (events == nullptr) {
    Dropped(serial, button);
    return;
  }
  events->OnCommand(button);
}

// Keyboard and system-menu input to the newest dialog of a template.
void HeadlessUi::State::DeliverToDialog(int templateId, int id,
                                        const std::function<void(WindowEvents&)>& deliver) {
  WindowEvents* events = nullptr;
  std::uint64_t serial = 0;
  {
    std::lock_guard lock(mutex);
    serial = NewestDialogLocked(templateId);
    if (serial != 0 && TopLocked() == serial) events = FindLocked(serial)->events;
  }
  if (events == nullptr) {
    Dropped(serial, id);
    return;
  }
  deliver(*events);
}

void HeadlessUi::State::DeliverDeviceChange(platform::DeviceChange change) {
  std::vector<std::uint64_t> serials;
  {
    std::lock_guard lock(mutex);
    for (const auto& [serial, record] : windows) {
      if (record.events != nullptr && !record.state.ended) serials.push_back(serial);
    }
  }
  for (std::uint64_t serial : serials) {
    WindowEvents* events = nullptr;
    {
      std::lock_guard lock(mutex);
      WindowRecord* record = FindLocked(serial);
      if (record != nullptr && !record->state.ended) events = record->events;
    }
    if (events == nullptr) continue;
    Mutate([&]() -> std::optional<Change> {
      return MakeChange(serial, 0, ChangeKind::kDeviceChange,
                        change == platform::DeviceChange::kArrival ? 0 : 1);
    });
    events->OnDeviceChange(change);
  }
}

// ---- Modal boxes (window's thread) -------------------------------------------------------------

int HeadlessUi::State::ShowMessageBox(std::uint64_t owner, std::u16string_view text,
                                      std::optional<std::u16string_view> caption,
                                      MessageBoxIcon icon) {
  std::uint64_t serial = 0;
  WindowState shown;
  ModalScript scriptCopy;
  Mutate([&]() -> std::optional<Change> {
    serial = nextSerial++;
    WindowRecord& record = windows[serial];
    record.state.serial = serial;
    record.state.messageBox = true;
    record.state.title = std::u16string(caption.value_or(kDefaultMessageBoxCaption));
    record.state.text = std::u16string(text);
    record.state.icon = icon;
    record.state.owner = owner;
    record.state.fromWorker = sentDepth > 0;
    record.state.language = language;
    shown = record.state;
    scriptCopy = script;
    return MakeChange(serial, 0, ChangeKind::kOpened, 0, static_cast<std::int64_t>(icon),
                      record.state.text);
  });
  const std::optional<int> answer = scriptCopy ? scriptCopy(shown) : std::optional<int>{IDOK};
  if (answer) DeliverPress(serial, *answer);
  PumpUntil([this, serial] { return FindLocked(serial)->state.ended; });
  int result = 0;
  Mutate([&]() -> std::optional<Change> {
    result = FindLocked(serial)->result;
    Change change = MakeChange(serial, 0, ChangeKind::kClosed, result);
    windows.erase(serial);
    return change;
  });
  return result;
}

}  // namespace tr350::ui::headless
