// Named mutexes on Linux: the mapping from mutex names to shared-memory objects, the shared block
// that holds the pthread mutex, the process-wide table of mappings and the per-instance handles.
#include "platform/linux/named_mutex.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <utility>

#if defined(__SANITIZE_THREAD__)
#define TR350_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define TR350_TSAN 1
#endif
#endif
#ifdef TR350_TSAN
#include <sanitizer/tsan_interface.h>
#endif

namespace tr350::platform {
namespace {

constexpr std::size_t kMaxNameUnits = 260;                // MAX_PATH, as Windows limits names
constexpr std::size_t kMaxNameBytes = 3 * kMaxNameUnits;  // each unit is at most 3 bytes encoded
constexpr std::size_t kMaxHexBytes = 100;                 // longer names are hashed
constexpr std::string_view kObjectPrefix = "/tr350-mutex-";

// ---- Names ---------------------------------------------------------------------------------

void AppendUtf8(std::string& out, char32_t c) {
  auto byte = [&out](char32_t b) {
    out.push_back(static_cast<char>(static_cast<unsigned char>(b)));
  };
  if (c < 0x80) {
    byte(c);
  } else if (c < 0x800) {
    byte(0xC0 | (c >> 6));
    byte(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    byte(0xE0 | (c >> 12));
    byte(0x80 | ((c >> 6) & 0x3F));
    byte(0x80 | (c & 0x3F));
  } else {
    byte(0xF0 | (c >> 18));
    byte(0x80 | ((c >> 12) & 0x3F));
    byte(0x80 | ((c >> 6) & 0x3F));
    byte(0x80 | (c & 0x3F));
  }
}

// UTF-8, with unpaired surrogates encoded like any other code point so that every UTF-16 name,
// valid or not, has its own byte string.
std::string EncodeName(std::u16string_view name) {
  std::string out;
  out.reserve(name.size() * 3);
  for (std::size_t i = 0; i < name.size(); ++i) {
    char32_t c = name[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < name.size() && name[i + 1] >= 0xDC00 &&
        name[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (name[i + 1] - 0xDC00);
      ++i;
    }
    AppendUtf8(out, c);
  }
  return out;
}

void AppendHex(std::string& out, std::uint64_t value, int digits) {
  static constexpr char kDigits[] = "0123456789abcdef";
  for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4)
    out.push_back(kDigits[(value >> shift) & 0xF]);
}

// A name the shm layer accepts: no '/' after the first, well under NAME_MAX. Short names are
// spelled out in hex (readable and one-to-one); long ones are hashed, and the shared block keeps
// the full name so that a hash collision fails the open instead of merging two mutexes.
std::string ObjectName(std::string_view utf8) {
  std::string out(kObjectPrefix);
  if (utf8.size() <= kMaxHexBytes) {
    out.push_back('x');
    for (char c : utf8) AppendHex(out, static_cast<unsigned char>(c), 2);
  } else {
    std::uint64_t hash = 0xcbf29ce484222325u;  // FNV-1a
    for (char c : utf8) {
      hash ^= static_cast<unsigned char>(c);
      hash *= 0x100000001b3u;
    }
    out.push_back('h');
    AppendHex(out, hash, 16);
    out.push_back('-');
    out += std::to_string(utf8.size());
  }
  return out;
}

// ---- The shared block ----------------------------------------------------------------------

constexpr std::uint32_t kReady = 0x54523335;

struct SharedBlock {
  std::uint32_t state;   // kReady once initialised; read and written through atomic_ref
  std::uint32_t layout;  // kLayout: refuses a block made by a build with another layout
  std::uint32_t nameBytes;
  char name[kMaxNameBytes];
  pthread_mutex_t mutex;
};

constexpr std::uint32_t kLayout = (1u << 16) | static_cast<std::uint32_t>(sizeof(SharedBlock));
static_assert(std::atomic_ref<std::uint32_t>::is_always_lock_free);

class UniqueFd {
 public:
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// Holds flock(LOCK_EX) for a scope. The unlock is explicit: the mapping keeps the open file alive,
// so closing the descriptor alone would not drop the lock.
class FileLock {
 public:
  explicit FileLock(int fd) : fd_(fd) {
    int rc;
    do {
      rc = ::flock(fd_, LOCK_EX);
    } while (rc != 0 && errno == EINTR);
    locked_ = rc == 0;
  }
  ~FileLock() {
    if (locked_) ::flock(fd_, LOCK_UN);
  }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  bool locked() const { return locked_; }

 private:
  int fd_;
  bool locked_;
};

class MutexAttr {
 public:
  MutexAttr() { ok_ = ::pthread_mutexattr_init(&attr_) == 0; }
  ~MutexAttr() {
    if (ok_) ::pthread_mutexattr_destroy(&attr_);
  }
  MutexAttr(const MutexAttr&) = delete;
  MutexAttr& operator=(const MutexAttr&) = delete;
  bool Configure() {
    return ok_ && ::pthread_mutexattr_setpshared(&attr_, PTHREAD_PROCESS_SHARED) == 0 &&
           ::pthread_mutexattr_setrobust(&attr_, PTHREAD_MUTEX_ROBUST) == 0 &&
           ::pthread_mutexattr_settype(&attr_, PTHREAD_MUTEX_RECURSIVE) == 0;
  }
  const pthread_mutexattr_t* get() const { return &attr_; }

 private:
  pthread_mutexattr_t attr_{};
  bool ok_ = false;
};

}  // namespace

// One process's mapping of one shared block. The bookkeeping fields are guarded by the registry.
class SharedMapping {
 public:
  explicit SharedMapping(SharedBlock* block) : block_(block) {}
  ~SharedMapping() { ::munmap(block_, sizeof(SharedBlock)); }
  SharedMapping(const SharedMapping&) = delete;
  SharedMapping& operator=(const SharedMapping&) = delete;

  pthread_mutex_t* Mutex() { return &block_->mutex; }
  bool HoldsName(std::string_view utf8) const {
    return block_->nameBytes == utf8.size() &&
           std::memcmp(block_->name, utf8.data(), utf8.size()) == 0;
  }

  std::size_t users = 0;  // open handles plus waits and releases in progress
  pid_t owner = 0;        // thread of this process that owns the mutex, 0 for none
  std::uint32_t depth = 0;

 private:
  SharedBlock* block_;
};

namespace {

// Opens or creates the shared object and maps it. Every opener takes flock(LOCK_EX) and finishes
// an uninitialised block itself, so two processes creating a name at once agree on one mutex, and
// a creator that died half-way (flock goes with the process) is completed by the next opener.
std::unique_ptr<SharedMapping> MapObject(const std::string& objectName, std::string_view utf8) {
  if (utf8.size() > kMaxNameBytes) return nullptr;
  UniqueFd fd(::shm_open(objectName.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (fd.get() < 0) return nullptr;
  FileLock lock(fd.get());
  if (!lock.locked()) return nullptr;

  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return nullptr;
  if (st.st_size == 0) {
    if (::ftruncate(fd.get(), sizeof(SharedBlock)) != 0) return nullptr;
  } else if (st.st_size != static_cast<off_t>(sizeof(SharedBlock))) {
    return nullptr;  // not one of ours, or another build's layout
  }
  void* address =
      ::mmap(nullptr, sizeof(SharedBlock), PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
  if (address == MAP_FAILED) return nullptr;
  auto* block = static_cast<SharedBlock*>(address);
  auto mapping = std::make_unique<SharedMapping>(block);

  std::atomic_ref<std::uint32_t> state(block->state);
  if (state.load(std::memory_order_acquire) != kReady) {
    // Nobody uses a block before it is ready, so starting over after a dead creator is safe.
    MutexAttr attr;
    if (!attr.Configure() || ::pthread_mutex_init(&block->mutex, attr.get()) != 0) return nullptr;
    block->layout = kLayout;
    block->nameBytes = static_cast<std::uint32_t>(utf8.size());
    std::memcpy(block->name, utf8.data(), utf8.size());
    state.store(kReady, std::memory_order_release);
  } else if (block->layout != kLayout) {
    return nullptr;
  }
  if (!mapping->HoldsName(utf8)) return nullptr;  // a hash collision: refuse rather than share
  return mapping;
}

// One mapping per shared object for the whole process, whichever LinuxMutexes opened it: a robust
// mutex must be locked and unlocked through one address, because the thread's robust list links it
// by address and the kernel walks that list when the thread dies. So this table is process-wide by
// nature, the only static of the backend. It is never destroyed, so that a thread still inside a
// call while the process exits does not see it torn down. It also hands out the handle values, so
// that a value is never reused nor valid in two instances.
class Registry {
 public:
  static Registry& Instance() {
    static Registry* const registry = new Registry();
    return *registry;
  }

  // One more user of the mapping of this name, mapped on first use. Null on failure.
  SharedMapping* Acquire(std::string_view utf8) {
    std::string objectName = ObjectName(utf8);
    std::lock_guard lock(mutex_);
    auto it = byObject_.find(objectName);
    if (it == byObject_.end()) {
      auto mapping = MapObject(objectName, utf8);
      if (!mapping) return nullptr;
      it = byObject_.emplace(std::move(objectName), std::move(mapping)).first;
    } else if (!it->second->HoldsName(utf8)) {
      return nullptr;
    }
    ++it->second->users;
    return it->second.get();
  }

  std::uint64_t NextHandleValue() {
    std::lock_guard lock(mutex_);
    return nextHandle_++;
  }

  void AddUser(SharedMapping& mapping) {
    std::lock_guard lock(mutex_);
    ++mapping.users;
  }

  // Ends one use, first noting that the calling thread has just locked the mutex when it did.
  void EndUse(SharedMapping& mapping, bool locked) {
    std::lock_guard lock(mutex_);
    if (locked) {
      pid_t self = ::gettid();
      if (mapping.owner == self && mapping.depth > 0) {
        ++mapping.depth;
      } else {
        // Also after an abandonment: a dead thread of ours may still be recorded as the owner.
        mapping.owner = self;
        mapping.depth = 1;
      }
    }
    DropUserLocked(mapping);
  }

  // Unlocks once when the calling thread owns the mutex, then ends the use. Checking ownership here
  // first keeps a non-owner away from pthread_mutex_unlock; unlocking under the registry lock keeps
  // owner and depth in step with the mutex.
  bool UnlockAndEndUse(SharedMapping& mapping) {
    std::lock_guard lock(mutex_);
    bool released = false;
    if (mapping.depth > 0 && mapping.owner == ::gettid() &&
        ::pthread_mutex_unlock(mapping.Mutex()) == 0) {
      if (--mapping.depth == 0) mapping.owner = 0;
      released = true;
    }
    DropUserLocked(mapping);
    return released;
  }

  void EndUse(SharedMapping& mapping) {
    std::lock_guard lock(mutex_);
    DropUserLocked(mapping);
  }

 private:
  Registry() = default;

  // Unmaps when nobody uses the mapping and no thread of ours owns the mutex: unmapping an owned
  // robust mutex would leave a dangling entry in the owner's robust list.
  void DropUserLocked(SharedMapping& mapping) {
    if (--mapping.users > 0 || mapping.depth > 0) return;
    for (auto it = byObject_.begin(); it != byObject_.end(); ++it) {
      if (it->second.get() == &mapping) {
        byObject_.erase(it);
        return;
      }
    }
  }

  std::mutex mutex_;
  std::map<std::string, std::unique_ptr<SharedMapping>, std::less<>> byObject_;
  std::uint64_t nextHandle_ = 1;
};

timespec DeadlineAfter(std::uint32_t timeoutMs) {
  timespec t{};
  ::clock_gettime(CLOCK_MONOTONIC, &t);
  t.tv_sec += static_cast<time_t>(timeoutMs / 1000);
  t.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1'000'000L;
  if (t.tv_nsec >= 1'000'000'000L) {
    t.tv_sec += 1;
    t.tv_nsec -= 1'000'000'000L;
  }
  return t;
}

// Tries first, so that an uncontended wait (the usual case) makes no time-out calculation, and so
// that an owner that died before the wait is seen by a call that ThreadSanitizer intercepts: it
// intercepts pthread_mutex_trylock, repairing its view of an abandoned mutex, but not
// pthread_mutex_clocklock.
int Lock(pthread_mutex_t* mutex, std::uint32_t timeoutMs) {
  int rc = ::pthread_mutex_trylock(mutex);
  if (rc != EBUSY) return rc;
  if (timeoutMs == 0) return ETIMEDOUT;
  const timespec deadline = DeadlineAfter(timeoutMs);
#ifdef TR350_TSAN
  // Reported as a try-lock, which keeps the sanitizer in step with the intercepted unlock.
  __tsan_mutex_pre_lock(mutex, __tsan_mutex_try_lock);
  rc = ::pthread_mutex_clocklock(mutex, CLOCK_MONOTONIC, &deadline);
  unsigned failed = (rc == 0 || rc == EOWNERDEAD) ? 0u : __tsan_mutex_try_lock_failed;
  __tsan_mutex_post_lock(mutex, __tsan_mutex_try_lock | failed, 0);
  return rc;
#else
  return ::pthread_mutex_clocklock(mutex, CLOCK_MONOTONIC, &deadline);
#endif
}

bool IsValidName(std::u16string_view name) {
  return !name.empty() && name.size() <= kMaxNameUnits;
}

}  // namespace

LinuxMutexes::~LinuxMutexes() {
  std::lock_guard lock(mutex_);
  for (auto& [value, mapping] : handles_) Registry::Instance().EndUse(*mapping);
  handles_.clear();
}

MutexHandle LinuxMutexes::Open(std::u16string_view name) {
  if (!IsValidName(name)) return {};
  Registry& registry = Registry::Instance();
  SharedMapping* mapping = registry.Acquire(EncodeName(name));
  if (mapping == nullptr) return {};
  MutexHandle handle{registry.NextHandleValue()};
  std::lock_guard lock(mutex_);
  handles_.emplace(handle.value, mapping);
  return handle;
}

// Finds the mapping and counts one more use of it, so that a concurrent Close cannot unmap it.
SharedMapping* LinuxMutexes::Find(MutexHandle handle) {
  std::lock_guard lock(mutex_);
  auto it = handles_.find(handle.value);
  if (it == handles_.end()) return nullptr;
  Registry::Instance().AddUser(*it->second);
  return it->second;
}

WaitResult LinuxMutexes::Wait(MutexHandle handle, std::uint32_t timeoutMs) {
  SharedMapping* mapping = Find(handle);
  if (mapping == nullptr) return WaitResult::kFailed;
  int rc = Lock(mapping->Mutex(), timeoutMs);
  WaitResult result = WaitResult::kFailed;
  if (rc == 0) {
    result = WaitResult::kSignaled;
  } else if (rc == EOWNERDEAD) {
    // The owner died holding it. Make it usable again; the caller owns it, as on Windows.
    result = WaitResult::kAbandoned;
    if (::pthread_mutex_consistent(mapping->Mutex()) != 0) {
      ::pthread_mutex_unlock(mapping->Mutex());
      result = WaitResult::kFailed;
    }
  } else if (rc == ETIMEDOUT) {
    result = WaitResult::kTimedOut;
  }  // EAGAIN (recursion count exhausted), ENOTRECOVERABLE and the rest fail
  bool locked = result == WaitResult::kSignaled || result == WaitResult::kAbandoned;
  Registry::Instance().EndUse(*mapping, locked);
  return result;
}

bool LinuxMutexes::Release(MutexHandle handle) {
  SharedMapping* mapping = Find(handle);
  if (mapping == nullptr) return false;
  return Registry::Instance().UnlockAndEndUse(*mapping);
}

void LinuxMutexes::Close(MutexHandle handle) {
  std::lock_guard lock(mutex_);
  auto it = handles_.find(handle.value);
  if (it == handles_.end()) return;
  Registry::Instance().EndUse(*it->second);
  handles_.erase(it);
}

bool LinuxMutexes::RemoveName(std::u16string_view name) {
  return IsValidName(name) && ::shm_unlink(SharedObjectName(name).c_str()) == 0;
}

std::string LinuxMutexes::SharedObjectName(std::u16string_view name) {
  return IsValidName(name) ? ObjectName(EncodeName(name)) : std::string();
}

}  // namespace tr350::platform
