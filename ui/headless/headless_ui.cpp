// The headless backend: window records, the event loop with its timers on the platform clock,
// sent operations from workers, scripted modals and the change log.
#include "ui/headless/headless_ui.h"

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <exception>
#include <iterator>
#include <list>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>
#include <type_traits>

namespace tr350::ui::headless {

const ControlState* WindowState::Control(int id) const {
  const auto it = std::ranges::find(controls, id, &ControlState::id);
  return it == controls.end() ? nullptr : &*it;
}

const WindowState* Snapshot::Dialog(int templateId) const {
  for (auto it = windows.rbegin(); it != windows.rend(); ++it) {
    if (!it->messageBox && it->templateId == templateId) return &*it;
  }
  return nullptr;
}

const WindowState* Snapshot::MessageBox() const {
  for (auto it = windows.rbegin(); it != windows.rend(); ++it) {
    if (it->messageBox) return &*it;
  }
  return nullptr;
}

std::vector<std::int64_t> ProgressPositions(std::span<const Change> log, int controlId) {
  std::vector<std::int64_t> positions;
  for (const Change& change : log) {
    if (change.kind == ChangeKind::kProgressPos && change.control == controlId) {
      positions.push_back(change.value);
    }
  }
  return positions;
}

namespace {

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

// Dialog units to pixels with the base units of the templates' 8-point font.
constexpr int kBaseUnitX = 6;
constexpr int kBaseUnitY = 13;
constexpr Size kIconSize{32, 32};

}  // namespace

struct HeadlessUi::State {
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

  void Post(std::function<void()> event) {
    std::lock_guard lock(mutex);
    queue.push_back(std::move(event));
    wake.notify_all();
    changed.notify_all();
  }

  void Send(const std::function<void()>& task) {
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
  bool ReapLocked(std::unique_lock<std::mutex>& lock) {
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
  void PumpUntil(const std::function<bool()>& done) {
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

  bool FireDueTimer(std::unique_lock<std::mutex>& lock, std::uint64_t now) {
    TimerRecord* due = nullptr;
    for (TimerRecord& timer : timers) {
      if (timer.dueMs > now) continue;
      if (due == nullptr || timer.dueMs < due->dueMs ||
          (timer.dueMs == due->dueMs && timer.order < due->order)) {
        due = &timer;
      }
    }
    if (due == nullptr) return false;
    due->dueMs = now + due->periodMs;  // periodic until killed, as the system's timers are
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

  void EndLocked(WindowRecord& record, int result) {
    if (record.state.ended) return;
    record.state.ended = true;
    record.result = result;
    std::erase_if(timers,
                  [&](const TimerRecord& timer) { return timer.window == record.state.serial; });
    wake.notify_all();
    changed.notify_all();
  }

  // ---- Input (window's thread) -----------------------------------------------------------------

  void Dropped(std::uint64_t serial, int id) {
    Mutate([&]() -> std::optional<Change> {
      return MakeChange(serial, id, ChangeKind::kInputDropped, id);
    });
  }

  // A button press on a window: closes a message box, or is a click on a dialog's control.
  void DeliverPress(std::uint64_t serial, int button) {
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
  void DeliverToDialog(int templateId, int id, const std::function<void(WindowEvents&)>& deliver) {
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

  void DeliverDeviceChange(platform::DeviceChange change) {
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

  // ---- Modal boxes (window's thread)
  // -------------------------------------------------------------

  int ShowMessageBox(std::uint64_t owner, std::u16string_view text,
                     std::optional<std::u16string_view> caption, MessageBoxIcon icon) {
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
};

// ---- A window of the headless backend
// ------------------------------------------------------------

namespace {

using State = HeadlessUi::State;

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
      const std::uint64_t due = state_.clock.NowMs() + periodMs;
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

Language LocaleLanguage(const std::optional<std::string>& locale) {
  if (locale) return LanguageFromLocale(*locale);
  const auto env = [](const char* name) {
    const char* value = std::getenv(name);
    return std::string_view(value != nullptr ? value : "");
  };
  return LanguageFromEnvironment(env("LC_ALL"), env("LC_MESSAGES"), env("LANG"));
}

}  // namespace

// ---- The backend
// ---------------------------------------------------------------------------------

HeadlessUi::HeadlessUi(HeadlessOptions options)
    : state_(std::make_shared<State>(
          options.clock != nullptr ? *options.clock : platform::Current().Time(),
          LocaleLanguage(options.locale), options.resources)) {
  platform::DeviceNotifications& notifications = options.notifications != nullptr
                                                     ? *options.notifications
                                                     : platform::Current().Notifications();
  State* state = state_.get();
  subscription_ = notifications.Subscribe([state](platform::DeviceChange change) {
    state->Post([state, change] { state->DeliverDeviceChange(change); });
  });
}

HeadlessUi::~HeadlessUi() {
  subscription_.reset();
  std::list<Worker> workers;
  {
    std::lock_guard lock(state_->mutex);
    workers.swap(state_->workers);
  }
  for (Worker& worker : workers) worker.thread.join();
}

Language HeadlessUi::UserLanguage() const {
  return state_->language;
}

const UiResources& HeadlessUi::Resources() const {
  return state_->resources;
}

std::unique_ptr<Window> HeadlessUi::CreateDialogWindow(const DialogTemplate& dialog,
                                                       WindowEvents& events) {
  std::uint64_t serial = 0;
  bool refused = false;
  state_->Mutate([&]() -> std::optional<Change> {
    if (state_->windowThread && !state_->OnWindowThreadLocked()) {
      refused = true;
      return std::nullopt;
    }
    state_->windowThread = std::this_thread::get_id();
    serial = state_->nextSerial++;
    WindowRecord& record = state_->windows[serial];
    record.events = &events;
    record.scripted = state_->windows.size() > 1;
    WindowState& w = record.state;
    w.serial = serial;
    w.templateId = dialog.id;
    w.language = dialog.language;
    w.title = std::u16string(dialog.title);
    w.size = DialogRect{0, 0, dialog.width, dialog.height};
    w.hasSystemMenu = HasFlag(dialog.style, WindowStyle::kSystemMenu);
    w.fromWorker = state_->sentDepth > 0;
    for (const ControlTemplate& control : dialog.controls) {
      w.controls.push_back(ControlState{control.id, control.kind, control.rect, control.style,
                                        std::u16string(control.caption), control.visible});
    }
    return state_->MakeChange(serial, 0, ChangeKind::kOpened, dialog.id, 0, w.title);
  });
  if (refused) return nullptr;
  return std::make_unique<HeadlessWindow>(*state_, serial);
}

bool HeadlessUi::OnWindowThread() const {
  std::lock_guard lock(state_->mutex);
  return state_->OnWindowThreadLocked();
}

void HeadlessUi::Send(const std::function<void()>& task) {
  state_->Send(task);
}

void HeadlessUi::Click(int templateId, int controlId) {
  State* s = state_.get();
  s->Post([s, templateId, controlId] {
    std::uint64_t serial = 0;
    {
      std::lock_guard lock(s->mutex);
      serial = s->NewestDialogLocked(templateId);
    }
    s->DeliverPress(serial, controlId);
  });
}

void HeadlessUi::Command(int templateId, int commandId) {
  State* s = state_.get();
  s->Post([s, templateId, commandId] {
    s->DeliverToDialog(templateId, commandId,
                       [commandId](WindowEvents& events) { events.OnCommand(commandId); });
  });
}

void HeadlessUi::SystemCommand(int templateId, std::uint32_t commandId) {
  State* s = state_.get();
  s->Post([s, templateId, commandId] {
    s->DeliverToDialog(templateId, static_cast<int>(commandId),
                       [commandId](WindowEvents& events) { events.OnSysCommand(commandId, 0); });
  });
}

void HeadlessUi::Press(std::uint64_t serial, int button) {
  State* s = state_.get();
  s->Post([s, serial, button] { s->DeliverPress(serial, button); });
}

void HeadlessUi::DeliverDeviceChanges(std::vector<platform::DeviceChange> changes) {
  State* s = state_.get();
  s->Post([s, changes = std::move(changes)] {
    for (platform::DeviceChange change : changes) s->DeliverDeviceChange(change);
  });
}

void HeadlessUi::SetMinimized(int templateId, bool minimized) {
  State* s = state_.get();
  s->Post([s, templateId, minimized] {
    std::lock_guard lock(s->mutex);
    if (WindowRecord* record = s->FindLocked(s->NewestDialogLocked(templateId))) {
      record->state.minimized = minimized;
      s->changed.notify_all();
    }
  });
}

void HeadlessUi::Paint(int templateId) {
  State* s = state_.get();
  s->Post([s, templateId] {
    WindowEvents* events = nullptr;
    {
      std::lock_guard lock(s->mutex);
      if (WindowRecord* record = s->FindLocked(s->NewestDialogLocked(templateId))) {
        events = record->events;
      }
    }
    if (events != nullptr) events->OnPaint();
  });
}

void HeadlessUi::FailThreadStarts(std::uint32_t count) {
  std::lock_guard lock(state_->mutex);
  state_->failThreadStarts = count;
}

void HeadlessUi::SetModalScript(ModalScript script) {
  std::lock_guard lock(state_->mutex);
  state_->script = std::move(script);
}

void HeadlessUi::SetChangeListener(ChangeListener listener) {
  std::lock_guard lock(state_->mutex);
  state_->listener = std::move(listener);
}

namespace {

Snapshot SnapLocked(const HeadlessUi::State& s) {
  Snapshot snap;
  for (const auto& [serial, record] : s.windows) snap.windows.push_back(record.state);
  snap.queuedEvents = s.queue.size();
  snap.armedTimers = s.timers.size();
  snap.liveThreads = s.liveThreads;
  snap.loopWaiting = s.loopWaiting;
  snap.logSize = s.log.size();
  return snap;
}

}  // namespace

Snapshot HeadlessUi::Snap() const {
  std::lock_guard lock(state_->mutex);
  return SnapLocked(*state_);
}

std::vector<Change> HeadlessUi::Log() const {
  std::lock_guard lock(state_->mutex);
  return state_->log;
}

bool HeadlessUi::WaitUntil(const std::function<bool(const Snapshot&)>& predicate,
                           std::chrono::milliseconds limit) const {
  std::unique_lock lock(state_->mutex);
  if (limit == kNoLimit) {
    state_->changed.wait(lock, [&] { return predicate(SnapLocked(*state_)); });
    return true;
  }
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!predicate(SnapLocked(*state_))) {
    if (state_->changed.wait_until(lock, deadline) == std::cv_status::timeout) {
      return predicate(SnapLocked(*state_));
    }
  }
  return true;
}

}  // namespace tr350::ui::headless
