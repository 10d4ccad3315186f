// The headless backend object: the snapshot views, opening dialogs, the input tests and the
// terminal queue, the change log and waiting on it. The loop and the windows live beside it.
#include "ui/headless/headless_ui.h"

#include <algorithm>

#include "ui/headless/headless_state.h"

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

using State = HeadlessUi::State;
using detail::WindowRecord;
using detail::Worker;

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
  return detail::MakeWindow(*state_, serial);
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
