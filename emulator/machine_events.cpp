// The machine's events and hooks: the log, the ordered delivery of arrival and removal events to
// subscribers, the readers' bus and command reports, and the one-shot hooks they trigger.
#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <thread>
#include <utility>

#include "emulator/machine.h"
#include "emulator/machine_state.h"

namespace tr350::emulator {

using platform::DeviceChange;

// ---- Subscriptions ------------------------------------------------------------------------------

struct Machine::Subscription::Entry {
  explicit Entry(Listener l) : listener(std::move(l)) {}

  void Deliver(const MachineEvent& event) {
    std::lock_guard lock(call);
    if (!active) return;
    caller = std::this_thread::get_id();
    listener(event);
    caller = std::thread::id{};
  }

  void End() {
    // From inside its own listener the call lock is already this thread's.
    if (caller.load() == std::this_thread::get_id()) {
      active = false;
      return;
    }
    std::lock_guard lock(call);
    active = false;
  }

  const Listener listener;
  std::mutex call;
  bool active = true;  // guarded by `call`
  std::atomic<std::thread::id> caller{};
};

Machine::Subscription::Subscription(std::weak_ptr<State> state, std::shared_ptr<Entry> entry)
    : state_(std::move(state)), entry_(std::move(entry)) {}

Machine::Subscription::~Subscription() {
  entry_->End();
  if (const auto state = state_.lock()) {
    std::lock_guard lock(state->mutex);
    std::erase(state->listeners, entry_);
  }
}

// ---- State ------------------------------------------------------------------------------------

void Machine::State::Emit(DeviceChange change, DeviceId device, NodeKind kind,
                          const std::u16string& id) {
  MachineEvent event{change, device, kind, id};
  log.push_back(event);
  pending.push_back(std::move(event));
}

void Machine::State::Drain() {
  std::unique_lock lock(mutex);
  if (draining || opsActive > 0) return;
  draining = true;
  while (!pending.empty()) {
    const MachineEvent event = std::move(pending.front());
    pending.pop_front();
    const auto targets = listeners;
    lock.unlock();
    for (const auto& entry : targets) entry->Deliver(event);
    lock.lock();
  }
  draining = false;
}

void Machine::State::OnBus(DeviceId id, BusEvent event, std::uint64_t attachment) {
  {
    std::lock_guard lock(mutex);
    if (machine == nullptr) return;
    Device& d = Get(id);
    if (event == BusEvent::kAttached) {
      d.attachment = std::max(d.attachment, attachment);
    } else {
      d.detachedUpTo = std::max(d.detachedUpTo, attachment);
    }
    // A reader's own comings and goings change no one's power: readers have nothing below.
    std::vector<PowerChange> none;
    Reconcile(none);
  }
  Drain();
}

void Machine::State::OnCommand(DeviceId id, std::uint8_t opcode) {
  std::vector<Action> due;
  Machine* owner = nullptr;
  {
    std::lock_guard lock(mutex);
    owner = machine;
    if (owner == nullptr || commandHooks.empty()) return;
    for (auto it = commandHooks.begin(); it != commandHooks.end();) {
      if (it->device == id && (!it->opcode || *it->opcode == opcode) && --it->remaining == 0) {
        due.push_back(std::move(it->action));
        it = commandHooks.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (Action& action : due) action(*owner);
}

// ---- Machine ----------------------------------------------------------------------------------

std::vector<MachineEvent> Machine::Events() const {
  std::lock_guard lock(state_->mutex);
  return state_->log;
}

void Machine::ClearEvents() {
  std::lock_guard lock(state_->mutex);
  state_->log.clear();
}

std::unique_ptr<Machine::Subscription> Machine::Subscribe(Listener listener) {
  auto entry = std::make_shared<Subscription::Entry>(std::move(listener));
  {
    std::lock_guard lock(state_->mutex);
    state_->listeners.push_back(entry);
  }
  return std::unique_ptr<Subscription>(new Subscription(state_, std::move(entry)));
}

// ---- Hooks ------------------------------------------------------------------------------------

void Machine::AfterCommand(DeviceId device, std::optional<std::uint8_t> opcode, std::uint64_t nth,
                           Action action) {
  std::lock_guard lock(state_->mutex);
  if (!state_->Get(device).spec.disk) throw std::invalid_argument("the device has no reader");
  if (nth == 0) throw std::invalid_argument("commands count from 1");
  state_->commandHooks.push_back({device, opcode, nth, std::move(action)});
}

void Machine::AfterSetOpened(platform::InterfaceClass interfaceClass, std::uint64_t nth,
                             Action action) {
  std::lock_guard lock(state_->mutex);
  if (nth == 0) throw std::invalid_argument("openings count from 1");
  state_->setHooks.push_back({interfaceClass, nth, std::move(action)});
}

}  // namespace tr350::emulator
