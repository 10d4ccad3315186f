// A window of the headless backend: every change to a dialog's controls, timers and threads
// becomes a change to its record, logged, made on the window's thread.
#include <algorithm>
#include <exception>
#include <system_error>
#include <type_traits>

#include "ui/headless/headless_state.h"

namespace tr350::ui::headless {
namespace {

using State = HeadlessUi::State;
using detail::TimerRecord;
using detail::WindowRecord;
using detail::Worker;

// Dialog units to pixels with the base units of the templates' 8-point font.
constexpr int kBaseUnitX = 6;
constexpr int kBaseUnitY = 13;
constexpr Size kIconSize{32, 32};

class HeadlessWindow final : public Window {
 public:
  HeadlessWindow(State& state, std::uint64_t serial) : state_(state), serial_(serial) {}

  ~HeadlessWindow() override {
    state_.Mutate([&]() -> std::optional<Change> {
      WindowRecord* record = state_.FindLocked(serial_);
      if (record == nullptr) return std::nullopt;
      Change change = state_.MakeChange(serial_, 0, ChangeKind::kClosed, record->result);
      std::erase_if(state_.timers, [&](const TimerRecord& t) { return t.window == serial_; });
      state_.windows.erase(serial_);
      return change;
    });
    std::unique_lock lock(state_.mutex);
    if (!state_.windows.empty()) return;
    // The last window is gone: what is still queued runs now (sent operations must not be
    // stranded), then the thread stops being the window's thread.
    while (!state_.queue.empty()) {
      std::function<void()> event = std::move(state_.queue.front());
      state_.queue.pop_front();
      lock.unlock();
      event();
      lock.lock();
    }
    state_.windowThread.reset();
    state_.changed.notify_all();
  }

  void ShowControl(int id, bool show) override {
    ControlChange(id, [show](ControlState& c) {
      c.visible = show;
      return std::pair{ChangeKind::kShown, std::int64_t{show}};
    });
  }
  void EnableControl(int id, bool enable) override {
    ControlChange(id, [enable](ControlState& c) {
      c.enabled = enable;
      return std::pair{ChangeKind::kEnabled, std::int64_t{enable}};
    });
  }
  void SetControlText(int id, std::u16string_view text) override {
    state_.Send([&] {
      state_.Mutate([&]() -> std::optional<Change> {
        ControlState* control = state_.ControlLocked(serial_, id);
        if (control == nullptr) return std::nullopt;
        control->text = std::u16string(text);
        return state_.MakeChange(serial_, id, ChangeKind::kText, 0, 0, control->text);
      });
    });
  }
  std::u16string ControlText(int id) override {
    std::lock_guard lock(state_.mutex);
    const ControlState* control = state_.ControlLocked(serial_, id);
    return control != nullptr ? control->text : u"";
  }
  bool IsControlVisible(int id) override {
    std::lock_guard lock(state_.mutex);
    const ControlState* control = state_.ControlLocked(serial_, id);
    return control != nullptr && control->visible;
  }
  bool IsControlEnabled(int id) override {
    std::lock_guard lock(state_.mutex);
    const ControlState* control = state_.ControlLocked(serial_, id);
    return control != nullptr && control->enabled;
  }
  void SetProgressRange(int id, int low, int high) override {
    state_.Send([&] {
      state_.Mutate([&]() -> std::optional<Change> {
        ControlState* control = state_.ControlLocked(serial_, id);
        if (control == nullptr) return std::nullopt;
        control->rangeLow = low;
        control->rangeHigh = high;
        control->position = std::clamp(control->position, low, std::max(low, high));
        return state_.MakeChange(serial_, id, ChangeKind::kProgressRange, low, high);
      });
    });
  }
  void SetProgressPos(int id, int position) override {
    ControlChange(id, [position](ControlState& c) {
      // The bar keeps its position inside its range, as the system's does.
      c.position = std::clamp(position, c.rangeLow, std::max(c.rangeLow, c.rangeHigh));
      return std::pair{ChangeKind::kProgressPos, std::int64_t{c.position}};
    });
  }
  void FocusControl(int id) override {
    state_.Send([&] {
      state_.Mutate([&]() -> std::optional<Change> {
        WindowRecord* record = state_.FindLocked(serial_);
        if (record == nullptr || state_.ControlLocked(serial_, id) == nullptr) return std::nullopt;
        record->state.focus = id;
        return state_.MakeChange(serial_, id, ChangeKind::kFocus, id);
      });
    });
  }

  void SetTitle(std::u16string_view title) override {
    WindowChange([&](WindowRecord& record) {
      record.state.title = std::u16string(title);
      return state_.MakeChange(serial_, 0, ChangeKind::kTitle, 0, 0, record.state.title);
    });
  }
  std::u16string Title() override {
    std::lock_guard lock(state_.mutex);
    const WindowRecord* record = state_.FindLocked(serial_);
    return record != nullptr ? record->state.title : u"";
  }
  void SetIcon(Icon icon, bool big) override {
    WindowChange([&](WindowRecord& record) {
      (big ? record.state.bigIcon : record.state.smallIcon) = icon.resourceId;
      return state_.MakeChange(serial_, 0, ChangeKind::kIcon, icon.resourceId, big);
    });
  }
  bool HasSystemMenu() override {
    std::lock_guard lock(state_.mutex);
    const WindowRecord* record = state_.FindLocked(serial_);
    return record != nullptr && record->state.hasSystemMenu;
  }
  void AppendSystemMenuSeparator() override { AppendSystemMenuItem(0, u""); }
  void AppendSystemMenuItem(std::uint32_t id, std::u16string_view text) override {
    WindowChange([&](WindowRecord& record) {
      record.state.systemMenu.push_back(MenuItem{id, std::u16string(text)});
      return state_.MakeChange(serial_, 0, ChangeKind::kMenuItem, id, 0, std::u16string(text));
    });
  }

  bool SetTimer(std::uintptr_t id, std::uint32_t periodMs) override {
    bool armed = false;
    WindowChange([&](WindowRecord& record) -> std::optional<Change> {
      if (record.state.ended) return std::nullopt;
      const std::uint64_t due = platform::DeadlineAfter(state_.clock, periodMs);
      const auto it = std::ranges::find_if(
          state_.timers, [&](const TimerRecord& t) { return t.window == serial_ && t.id == id; });
      if (it != state_.timers.end()) {
        it->periodMs = periodMs;
        it->dueMs = due;
      } else {
        state_.timers.push_back(TimerRecord{serial_, id, periodMs, due, state_.nextTimerOrder++});
      }
      armed = true;
      state_.wake.notify_all();
      return state_.MakeChange(serial_, 0, ChangeKind::kTimerSet, static_cast<std::int64_t>(id),
                               periodMs);
    });
    return armed;
  }
  void KillTimer(std::uintptr_t id) override {
    WindowChange([&](WindowRecord&) -> std::optional<Change> {
      const auto removed = std::erase_if(
          state_.timers, [&](const TimerRecord& t) { return t.window == serial_ && t.id == id; });
      if (removed == 0) return std::nullopt;
      return state_.MakeChange(serial_, 0, ChangeKind::kTimerKilled, static_cast<std::int64_t>(id));
    });
  }

  int MessageBox(std::u16string_view text, std::optional<std::u16string_view> caption,
                 MessageBoxIcon icon) override {
    int result = 0;
    state_.Send([&] { result = state_.ShowMessageBox(serial_, text, caption, icon); });
    return result;
  }

  bool BeginThread(std::function<void()> body) override {
    std::lock_guard lock(state_.mutex);
    WindowRecord* record = state_.FindLocked(serial_);
    if (record == nullptr || record->state.ended) return false;
    if (state_.failThreadStarts > 0) {
      --state_.failThreadStarts;
      return false;
    }
    const auto worker = state_.workers.emplace(state_.workers.end());
    ++state_.liveThreads;
    ++record->liveThreads;
    try {
      State* state = &state_;
      worker->thread = std::thread([state, worker, serial = serial_, body = std::move(body)] {
        body();
        std::lock_guard done(state->mutex);
        worker->done = true;
        --state->liveThreads;
        if (WindowRecord* owner = state->FindLocked(serial)) --owner->liveThreads;
        state->wake.notify_all();
        state->changed.notify_all();
      });
    } catch (const std::system_error&) {
      state_.workers.erase(worker);
      --state_.liveThreads;
      --record->liveThreads;
      return false;
    }
    return true;
  }

  int RunModal() override {
    std::optional<WindowState> shown;
    ModalScript script;
    {
      std::lock_guard lock(state_.mutex);
      const WindowRecord* record = state_.FindLocked(serial_);
      if (record == nullptr) return -1;
      if (record->scripted && !record->state.ended) {
        shown = record->state;
        script = state_.script;
      }
    }
    if (shown) {
      const std::optional<int> answer = script ? script(*shown) : std::optional<int>{IDOK};
      if (answer) state_.DeliverPress(serial_, *answer);
    }
    state_.PumpUntil([this] { return state_.FindLocked(serial_)->state.ended; });
    // The window's workers use the dialog object: serve them until they have ended.
    state_.PumpUntil([this] { return state_.FindLocked(serial_)->liveThreads == 0; });
    std::unique_lock lock(state_.mutex);
    state_.ReapLocked(lock);
    return state_.FindLocked(serial_)->result;
  }

  void EndModal(int result) override {
    std::lock_guard lock(state_.mutex);
    if (WindowRecord* record = state_.FindLocked(serial_)) state_.EndLocked(*record, result);
  }

  bool IsIconic() override {
    std::lock_guard lock(state_.mutex);
    const WindowRecord* record = state_.FindLocked(serial_);
    return record != nullptr && record->state.minimized;
  }
  Size ClientSize() override {
    std::lock_guard lock(state_.mutex);
    const WindowRecord* record = state_.FindLocked(serial_);
    if (record == nullptr) return {};
    return Size{record->state.size.width * kBaseUnitX / 4,
                record->state.size.height * kBaseUnitY / 8};
  }
  Size IconSize() override { return kIconSize; }
  void PaintIcon(Icon icon, int x, int y) override {
    state_.Mutate([&]() -> std::optional<Change> {
      return state_.MakeChange(serial_, icon.resourceId, ChangeKind::kIconPainted, x, y);
    });
  }

 private:
  // A control change carried out on the window's thread; `apply` returns the kind and value.
  template <typename F>
  void ControlChange(int id, F apply) {
    state_.Send([&] {
      state_.Mutate([&]() -> std::optional<Change> {
        ControlState* control = state_.ControlLocked(serial_, id);
        if (control == nullptr) return std::nullopt;
        const auto [kind, value] = apply(*control);
        return state_.MakeChange(serial_, id, kind, value);
      });
    });
  }

  template <typename F>
  void WindowChange(F apply) {
    state_.Send([&] {
      state_.Mutate([&]() -> std::optional<Change> {
        WindowRecord* record = state_.FindLocked(serial_);
        if (record == nullptr) return std::nullopt;
        return apply(*record);
      });
    });
  }

  State& state_;
  const std::uint64_t serial_;
};

}  // namespace

std::unique_ptr<Window> detail::MakeWindow(HeadlessUi::State& state, std::uint64_t serial) {
  return std::make_unique<HeadlessWindow>(state, serial);
}

}  // namespace tr350::ui::headless
