// The in-process named-mutex service: one lock and one condition variable per service instance,
// the mutex objects by name, the handle table, the injection queues, and a per-thread record that
// abandons a thread's mutexes when it ends.
#include "platform/emulated/emulated_mutexes.h"

#include "platform/thread_exit.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace tr350::platform {
namespace {

constexpr std::size_t kMaxNameUnits = 260;  // as the real kind
constexpr auto kPollSlice = std::chrono::milliseconds(2);

struct MutexObject {
  explicit MutexObject(std::u16string_view n) : name(n) {}
  std::u16string name;
  std::thread::id owner;
  std::uint32_t depth = 0;
  bool abandoned = false;
  std::size_t handles = 0;
  std::size_t blocked = 0;
};

struct Injection {
  WaitResult result;
  std::uint32_t remaining;
};

std::optional<WaitResult> Take(std::deque<Injection>& queue) {
  if (queue.empty()) return std::nullopt;
  Injection& front = queue.front();
  WaitResult result = front.result;
  if (front.remaining != EmulatedMutexes::kEveryTime && --front.remaining == 0) queue.pop_front();
  return result;
}

bool IsValidName(std::u16string_view name) {
  return !name.empty() && name.size() <= kMaxNameUnits;
}

}  // namespace

// Everything behind the service's one lock. Shared with the per-thread ownership records, which
// hold it weakly so that a thread may outlive the service.
struct EmulatedMutexState {
  struct NameRecord {
    std::shared_ptr<MutexObject> object;  // null while no handle is open
    std::deque<Injection> injected;
    std::uint32_t failOpens = 0;
    std::uint64_t waits = 0;
    std::uint64_t releases = 0;
    std::uint64_t failedReleases = 0;
  };

  NameRecord& Record(std::u16string_view name) {
    auto it = names.find(name);
    if (it == names.end()) it = names.emplace(std::u16string(name), NameRecord{}).first;
    return it->second;
  }

  std::shared_ptr<MutexObject> Find(MutexHandle handle) const {
    auto it = handles.find(handle.value);
    return it == handles.end() ? nullptr : it->second;
  }

  std::mutex mutex;
  // Signalled when a mutex may have become free and when a wait starts to block.
  std::condition_variable changed;
  std::map<std::u16string, NameRecord, std::less<>> names;
  std::map<std::uint64_t, std::shared_ptr<MutexObject>> handles;
  std::deque<Injection> injected;
  std::uint64_t nextHandle = 0x10001;
};

namespace {

// The mutexes the calling thread owns, so that a thread that ends while owning one abandons it, as
// on Windows. Per-thread state is the only way to see a thread end; it holds nothing strongly.
class OwnedByThisThread {
 public:
  OwnedByThisThread() = default;
  OwnedByThisThread(const OwnedByThisThread&) = delete;
  OwnedByThisThread& operator=(const OwnedByThisThread&) = delete;

  ~OwnedByThisThread() {
    std::thread::id self = std::this_thread::get_id();
    for (Entry& entry : entries_) {
      std::shared_ptr<EmulatedMutexState> state = entry.state.lock();
      if (!state) continue;
      std::lock_guard lock(state->mutex);
      std::shared_ptr<MutexObject> object = entry.object.lock();
      if (object && object->depth > 0 && object->owner == self) {
        object->owner = {};
        object->depth = 0;
        object->abandoned = true;
        state->changed.notify_all();
      }
    }
  }

  // Called with the state's lock held, by the thread that just took ownership.
  void Add(const std::shared_ptr<EmulatedMutexState>& state,
           const std::shared_ptr<MutexObject>& object) {
    std::erase_if(entries_,
                  [&](const Entry& e) { return e.object.expired() || e.object.lock() == object; });
    entries_.push_back({state, object});
  }

  void Remove(const MutexObject* object) {
    std::erase_if(entries_, [&](const Entry& e) { return e.object.lock().get() == object; });
  }

 private:
  struct Entry {
    std::weak_ptr<EmulatedMutexState> state;
    std::weak_ptr<MutexObject> object;
  };
  std::vector<Entry> entries_;
};

// The calling thread's record, made on first use and deleted as the thread ends; null when the
// system has no slot to give (that thread's mutexes are then not abandoned when it ends).
OwnedByThisThread* Owned() {
  static ThreadExitSlot* const slot =
      new ThreadExitSlot([](void* owned) { delete static_cast<OwnedByThisThread*>(owned); });
  if (auto* owned = static_cast<OwnedByThisThread*>(slot->Get())) return owned;
  auto owned = std::make_unique<OwnedByThisThread>();
  if (!slot->Set(owned.get())) return nullptr;
  return owned.release();
}

}  // namespace

EmulatedMutexes::EmulatedMutexes(Clock& clock)
    : clock_(clock), state_(std::make_shared<EmulatedMutexState>()) {}

EmulatedMutexes::~EmulatedMutexes() = default;

MutexHandle EmulatedMutexes::Open(std::u16string_view name) {
  if (!IsValidName(name)) {
    SetLastCause({.operation = "mutex open", .osError = EINVAL});
    return {};
  }
  std::lock_guard lock(state_->mutex);
  EmulatedMutexState::NameRecord& record = state_->Record(name);
  if (record.failOpens > 0) {
    if (record.failOpens != kEveryTime) --record.failOpens;
    SetLastCause({.operation = "mutex open", .osError = EIO});
    return {};
  }
  if (!record.object) record.object = std::make_shared<MutexObject>(name);
  ++record.object->handles;
  MutexHandle handle{state_->nextHandle++};
  state_->handles.emplace(handle.value, record.object);
  return handle;
}

WaitResult EmulatedMutexes::Wait(MutexHandle handle, std::uint32_t timeoutMs) {
  std::unique_lock lock(state_->mutex);
  std::shared_ptr<MutexObject> object = state_->Find(handle);
  if (!object) {
    SetLastCause({.operation = "mutex wait", .osError = EBADF});  // closed or never opened
    return WaitResult::kFailed;
  }
  EmulatedMutexState::NameRecord& record = state_->Record(object->name);
  ++record.waits;
  std::optional<WaitResult> injected = Take(record.injected);
  if (!injected) injected = Take(state_->injected);
  if (injected == WaitResult::kFailed) {
    SetLastCause({.operation = "mutex wait", .osError = EIO});
    return WaitResult::kFailed;
  }
  if (injected == WaitResult::kTimedOut) {
    lock.unlock();
    clock_.Sleep(timeoutMs);
    return WaitResult::kTimedOut;
  }

  const std::thread::id self = std::this_thread::get_id();
  const std::uint64_t deadline = DeadlineAfter(clock_, timeoutMs);
  bool blocked = false;
  WaitResult result;
  for (;;) {
    if (object->depth == 0) {
      object->owner = self;
      object->depth = 1;
      result = object->abandoned ? WaitResult::kAbandoned : WaitResult::kSignaled;
      object->abandoned = false;
      if (OwnedByThisThread* owned = Owned()) owned->Add(state_, object);
      break;
    }
    if (object->owner == self) {
      if (object->depth == std::numeric_limits<std::uint32_t>::max()) {
        result = WaitResult::kFailed;
      } else {
        ++object->depth;
        result = WaitResult::kSignaled;
      }
      break;
    }
    if (clock_.NowMs() >= deadline) {
      result = WaitResult::kTimedOut;
      break;
    }
    if (!blocked) {
      blocked = true;
      ++object->blocked;
      state_->changed.notify_all();
    }
    state_->changed.wait_for(lock, kPollSlice);
  }
  if (blocked) --object->blocked;
  if (injected == WaitResult::kAbandoned && result == WaitResult::kSignaled) {
    result = WaitResult::kAbandoned;
  }
  return result;
}

bool EmulatedMutexes::Release(MutexHandle handle) {
  std::lock_guard lock(state_->mutex);
  std::shared_ptr<MutexObject> object = state_->Find(handle);
  if (!object) return false;
  EmulatedMutexState::NameRecord& record = state_->Record(object->name);
  if (object->depth == 0 || object->owner != std::this_thread::get_id()) {
    ++record.failedReleases;
    return false;
  }
  if (--object->depth == 0) {
    object->owner = {};
    if (OwnedByThisThread* owned = Owned()) owned->Remove(object.get());
    state_->changed.notify_all();
  }
  ++record.releases;
  return true;
}

void EmulatedMutexes::Close(MutexHandle handle) {
  std::lock_guard lock(state_->mutex);
  auto it = state_->handles.find(handle.value);
  if (it == state_->handles.end()) return;
  std::shared_ptr<MutexObject> object = std::move(it->second);
  state_->handles.erase(it);
  if (--object->handles == 0) {
    // The name is free again; a blocked waiter keeps the old object alive until it returns.
    EmulatedMutexState::NameRecord& record = state_->Record(object->name);
    if (record.object == object) record.object.reset();
  }
}

void EmulatedMutexes::InjectWaitResult(std::u16string_view name, WaitResult result,
                                       std::uint32_t count) {
  if (count == 0) return;
  std::lock_guard lock(state_->mutex);
  state_->Record(name).injected.push_back({result, count});
}

void EmulatedMutexes::InjectWaitResult(WaitResult result, std::uint32_t count) {
  if (count == 0) return;
  std::lock_guard lock(state_->mutex);
  state_->injected.push_back({result, count});
}

void EmulatedMutexes::FailOpens(std::u16string_view name, std::uint32_t count) {
  std::lock_guard lock(state_->mutex);
  state_->Record(name).failOpens = count;
}

void EmulatedMutexes::ClearInjections() {
  std::lock_guard lock(state_->mutex);
  state_->injected.clear();
  for (auto& [name, record] : state_->names) {
    record.injected.clear();
    record.failOpens = 0;
  }
}

bool EmulatedMutexes::SimulateOwnerDeath(std::u16string_view name) {
  std::lock_guard lock(state_->mutex);
  auto it = state_->names.find(name);
  if (it == state_->names.end() || !it->second.object) return false;
  MutexObject& object = *it->second.object;
  object.owner = {};
  object.depth = 0;
  object.abandoned = true;
  state_->changed.notify_all();
  return true;
}

EmulatedMutexes::NameState EmulatedMutexes::State(std::u16string_view name) const {
  std::lock_guard lock(state_->mutex);
  NameState out;
  auto it = state_->names.find(name);
  if (it == state_->names.end()) return out;
  const EmulatedMutexState::NameRecord& record = it->second;
  out.waits = record.waits;
  out.releases = record.releases;
  out.failedReleases = record.failedReleases;
  if (const MutexObject* object = record.object.get()) {
    out.openHandles = object->handles;
    out.owned = object->depth > 0;
    out.ownedByCaller = out.owned && object->owner == std::this_thread::get_id();
    out.depth = object->depth;
    out.abandoned = object->abandoned;
    out.blockedWaiters = object->blocked;
  }
  return out;
}

void EmulatedMutexes::AwaitBlockedWaiters(std::u16string_view name, std::size_t count) {
  std::unique_lock lock(state_->mutex);
  state_->changed.wait(lock, [&] {
    auto it = state_->names.find(name);
    return it != state_->names.end() && it->second.object && it->second.object->blocked >= count;
  });
}

}  // namespace tr350::platform
