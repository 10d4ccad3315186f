// libudev behind DeviceNotifications: a udev monitor on USB devices, the thread that polls it
// while anyone listens, and the ordered calls of the listeners.
#include "platform/linux/udev_devices.h"

#include <libudev.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "platform/linux/udev_handles.h"
#include "platform/linux/unique_fd.h"

namespace tr350::platform {
namespace {

using udev_handles::DevicePtr;
using udev_handles::MonitorPtr;
using udev_handles::OrEmpty;
using udev_handles::UdevPtr;

// One monitor and the thread that polls it. Created by Subscribe, used only by its thread until
// that is joined.
struct Watcher {
  UdevPtr context;
  MonitorPtr monitor;
  UniqueFd wake{-1};  // readable once the thread is to stop
  std::thread thread;
  bool stop = false;    // guarded by State::mutex
  bool failed = false;  // guarded by State::mutex: the thread ended on its own

  explicit Watcher(int wakeFd) : wake(wakeFd) {}
};

}  // namespace

// Shared by the backend and its subscriptions; its functions may be called from any thread. The
// members are guarded by `mutex`; a watcher's handles belong to its thread until it is joined.
struct UdevNotifications::State {
  std::mutex mutex;
  std::condition_variable idle;  // signalled when a listener call ends
  std::map<std::uint64_t, std::shared_ptr<const Listener>> listeners;
  std::uint64_t nextId = 0;
  std::unique_ptr<Watcher> current;
  std::vector<std::unique_ptr<Watcher>> retired;  // stopped, not joined yet
  std::uint64_t callingId = 0;                    // the listener being called; 0 when none
  std::thread::id callingThread;

  // The new listener's ID; nullopt when no monitor could be started.
  std::optional<std::uint64_t> Add(Listener listener);
  void Remove(std::uint64_t id);
  void Shutdown();

 private:
  std::unique_ptr<Watcher> Start();
  void Run(Watcher& watcher);
  void Dispatch(Watcher& watcher, DeviceChange change);
  // Stops the current watcher (under the lock).
  void Retire();
  // Takes the stopped watchers that the calling thread can join (under the lock).
  std::vector<std::unique_ptr<Watcher>> TakeJoinable();
  static void Join(std::vector<std::unique_ptr<Watcher>>& watchers);
};

std::unique_ptr<Watcher> UdevNotifications::State::Start() {
  UdevPtr context(udev_new());
  if (!context) return nullptr;
  MonitorPtr monitor(udev_monitor_new_from_netlink(context.get(), "udev"));
  if (!monitor ||
      udev_monitor_filter_add_match_subsystem_devtype(monitor.get(), "usb", "usb_device") < 0 ||
      udev_monitor_enable_receiving(monitor.get()) < 0)
    return nullptr;
  const int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake < 0) return nullptr;
  auto watcher = std::make_unique<Watcher>(wake);
  watcher->context = std::move(context);
  watcher->monitor = std::move(monitor);
  try {
    watcher->thread = std::thread([this, w = watcher.get()] { Run(*w); });
  } catch (const std::system_error&) {
    return nullptr;
  }
  return watcher;
}

void UdevNotifications::State::Run(Watcher& watcher) {
  const int monitorFd = udev_monitor_get_fd(watcher.monitor.get());
  while (true) {
    pollfd fds[2] = {{watcher.wake.get(), POLLIN, 0}, {monitorFd, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[0].revents != 0) return;  // asked to stop
    if ((fds[1].revents & POLLIN) != 0) {
      DevicePtr device(udev_monitor_receive_device(watcher.monitor.get()));
      if (!device) continue;  // filtered out or malformed
      const std::string_view action = OrEmpty(udev_device_get_action(device.get()));
      if (action == "add") Dispatch(watcher, DeviceChange::kArrival);
      if (action == "remove") Dispatch(watcher, DeviceChange::kRemovalComplete);
    } else if (fds[1].revents != 0) {
      break;  // the socket failed; polling on would spin
    }
  }
  std::lock_guard lock(mutex);
  watcher.failed = true;
}

void UdevNotifications::State::Dispatch(Watcher& watcher, DeviceChange change) {
  std::unique_lock lock(mutex);
  // A listener that subscribed again from inside its call may have a new watcher running beside
  // this one; calls stay one at a time.
  idle.wait(lock, [&] { return callingId == 0 || watcher.stop; });
  std::vector<std::uint64_t> ids;
  for (const auto& entry : listeners) ids.push_back(entry.first);
  for (const std::uint64_t id : ids) {
    if (watcher.stop) return;
    const auto it = listeners.find(id);
    if (it == listeners.end()) continue;  // ended by an earlier listener of this event
    const std::shared_ptr<const Listener> listener = it->second;
    callingId = id;
    callingThread = std::this_thread::get_id();
    lock.unlock();
    (*listener)(change);
    lock.lock();
    callingId = 0;
    idle.notify_all();
  }
}

void UdevNotifications::State::Retire() {
  if (!current) return;
  current->stop = true;
  const std::uint64_t one = 1;
  // Cannot fail short of a full counter, which a handful of writes never reaches.
  [[maybe_unused]] const ssize_t written = ::write(current->wake.get(), &one, sizeof one);
  retired.push_back(std::move(current));
  idle.notify_all();
}

std::vector<std::unique_ptr<Watcher>> UdevNotifications::State::TakeJoinable() {
  std::vector<std::unique_ptr<Watcher>> joinable;
  const auto self = std::this_thread::get_id();
  for (auto it = retired.begin(); it != retired.end();) {
    if ((*it)->thread.get_id() == self) {
      ++it;  // the listener call we are in runs on it; a later call joins it
    } else {
      joinable.push_back(std::move(*it));
      it = retired.erase(it);
    }
  }
  return joinable;
}

void UdevNotifications::State::Join(std::vector<std::unique_ptr<Watcher>>& watchers) {
  for (auto& watcher : watchers) {
    if (watcher->thread.joinable()) watcher->thread.join();
  }
  watchers.clear();
}

std::optional<std::uint64_t> UdevNotifications::State::Add(Listener listener) {
  std::vector<std::unique_ptr<Watcher>> joinable;
  std::optional<std::uint64_t> id;
  {
    std::lock_guard lock(mutex);
    if (current && current->failed) Retire();
    if (!current) current = Start();
    if (current) {
      id = ++nextId;
      listeners.emplace(*id, std::make_shared<const Listener>(std::move(listener)));
    }
    joinable = TakeJoinable();
  }
  Join(joinable);
  return id;
}

void UdevNotifications::State::Remove(std::uint64_t id) {
  std::vector<std::unique_ptr<Watcher>> joinable;
  {
    std::unique_lock lock(mutex);
    listeners.erase(id);
    // A call already running on another thread finishes before the subscription ends; a listener
    // that ends its own subscription is that call and must not wait for itself.
    idle.wait(lock, [&] { return callingId != id || callingThread == std::this_thread::get_id(); });
    if (listeners.empty()) Retire();
    joinable = TakeJoinable();
  }
  Join(joinable);
}

void UdevNotifications::State::Shutdown() {
  std::vector<std::unique_ptr<Watcher>> joinable;
  {
    std::lock_guard lock(mutex);
    listeners.clear();
    Retire();
    joinable = std::move(retired);
    retired.clear();
  }
  Join(joinable);
}

namespace {

// Runs `end` once, when destroyed.
class UdevSubscription final : public DeviceNotifications::Subscription {
 public:
  explicit UdevSubscription(std::function<void()> end) : end_(std::move(end)) {}
  ~UdevSubscription() override { end_(); }
  UdevSubscription(const UdevSubscription&) = delete;
  UdevSubscription& operator=(const UdevSubscription&) = delete;

 private:
  std::function<void()> end_;
};

}  // namespace

UdevNotifications::UdevNotifications() : state_(std::make_shared<State>()) {}

UdevNotifications::~UdevNotifications() {
  state_->Shutdown();
}

std::unique_ptr<DeviceNotifications::Subscription> UdevNotifications::Subscribe(Listener listener) {
  if (!listener) return nullptr;
  const std::optional<std::uint64_t> id = state_->Add(std::move(listener));
  if (!id) return nullptr;
  // The subscription keeps the state alive, so it may outlive this object.
  return std::make_unique<UdevSubscription>([state = state_, id = *id] { state->Remove(id); });
}

}  // namespace tr350::platform
