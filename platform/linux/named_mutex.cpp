// Named mutexes on Linux: the mapping from mutex names to lock files in /dev/shm, the record each
// file holds, the process-wide table of per-name locks and the per-instance handles.
//
// Every user who may open the reader must share these mutexes, so the files are world-writable
// (0666) and nothing in them is trusted. They are never mapped: another user could truncate a
// mapping into SIGBUS, or rewrite the robust-list links of a pthread mutex kept there into writes
// anywhere in this process. Between processes the exclusion is the kernel's flock on the file,
// which goes with a holder that dies; between the threads of this process it is a private robust
// recursive pthread mutex, which reports a thread that died owning through EOWNERDEAD. The file's
// record says whether its last holder let go cleanly, so a process that dies owning leaves the
// mutex abandoned to the next holder in any process.
//
// Earlier versions kept a pthread mutex in a 0600 object named "/tr350-mutex-...". Those objects
// are ignored (the prefix differs), so one left behind by another user locks no one out; they are
// not deleted, because an earlier version might still be using one.
//
// A hostile local user can hold a mutex (denying the reader, as holding /dev/sgN would), make a
// name unusable by planting a file the others cannot open, or spoil a record so that the next
// wait reports the mutex abandoned. Nothing they write is followed as a pointer or a size.
#include "platform/linux/named_mutex.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>
#include <span>
#include <string>
#include <utility>

#include "platform/linux/monotonic_deadline.h"
#include "platform/linux/unique_fd.h"

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
constexpr std::string_view kShmDirectory = "/dev/shm";    // where shm_open keeps its objects
constexpr std::string_view kObjectPrefix = "/tr350-mutex2-";
constexpr mode_t kObjectMode = 0666;

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
// spelled out in hex (readable and one-to-one); long ones are hashed, and the file keeps the full
// name so that a hash collision fails the open instead of merging two mutexes.
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

std::string ObjectPath(std::string_view objectName) {
  return std::string(kShmDirectory) + std::string(objectName);
}

// ---- The record in the file ----------------------------------------------------------------

// Magic (8 bytes, the last one the format's version), holder state (1 byte: 0 free, 1 held),
// 3 zero bytes, the name's length (4 bytes, little-endian) and the name, zero-padded.
constexpr std::array<std::uint8_t, 8> kMagic = {'T', 'R', '3', '5', '0', 'M', 'X', '2'};
constexpr std::size_t kStateOffset = 8;
constexpr std::size_t kLengthOffset = 12;
constexpr std::size_t kNameOffset = 16;
constexpr std::size_t kRecordSize = kNameOffset + kMaxNameBytes;
using Record = std::array<std::uint8_t, kRecordSize>;

enum class Holder : std::uint8_t { kNone = 0, kHeld = 1 };
// What a record read back says; kForeign when it is not this name's record at all (a hash
// collision, another format, garbage, a truncated file).
enum class RecordState { kFree, kHeld, kForeign };

Record MakeRecord(std::string_view utf8, Holder holder) {
  Record r{};
  std::copy(kMagic.begin(), kMagic.end(), r.begin());
  r[kStateOffset] = static_cast<std::uint8_t>(holder);
  const auto length = static_cast<std::uint32_t>(utf8.size());
  for (std::size_t i = 0; i < 4; ++i)
    r[kLengthOffset + i] = static_cast<std::uint8_t>(length >> (8 * i));
  std::memcpy(r.data() + kNameOffset, utf8.data(), utf8.size());
  return r;
}

RecordState ParseRecord(std::span<const std::uint8_t> bytes, std::string_view utf8) {
  if (bytes.size() != kRecordSize || !std::equal(kMagic.begin(), kMagic.end(), bytes.begin()))
    return RecordState::kForeign;
  std::uint32_t length = 0;
  for (std::size_t i = 0; i < 4; ++i) length |= std::uint32_t{bytes[kLengthOffset + i]} << (8 * i);
  if (length != utf8.size() || std::memcmp(bytes.data() + kNameOffset, utf8.data(), length) != 0)
    return RecordState::kForeign;
  switch (bytes[kStateOffset]) {
    case static_cast<std::uint8_t>(Holder::kNone):
      return RecordState::kFree;
    case static_cast<std::uint8_t>(Holder::kHeld):
      return RecordState::kHeld;
    default:
      return RecordState::kForeign;
  }
}

bool WriteRecord(int fd, const Record& record) {
  std::size_t done = 0;
  while (done < record.size()) {
    ssize_t n = ::pwrite(fd, record.data() + done, record.size() - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// The record, and the file cut back to it when another user changed its size meanwhile: only the
// holder calls this, so the file is one this process checked was ours.
bool WriteWholeFile(int fd, const Record& record) {
  struct stat st {};
  return WriteRecord(fd, record) && ::fstat(fd, &st) == 0 &&
         (st.st_size == static_cast<off_t>(kRecordSize) ||
          ::ftruncate(fd, static_cast<off_t>(kRecordSize)) == 0);
}

// Reads at most a record's worth: a file that another user made huge costs nothing.
RecordState ReadRecord(int fd, std::string_view utf8) {
  Record r{};
  std::size_t done = 0;
  while (done < r.size()) {
    ssize_t n = ::pread(fd, r.data() + done, r.size() - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  return ParseRecord(std::span(r).first(done), utf8);
}

// ---- Opening and creating ------------------------------------------------------------------

// Checks that an open file is this name's lock file before anything is written to it. An empty
// file under the name (made by hand, or by a creator that stopped early) is taken over. Nothing is
// written into a file that has other names: it could be someone else's file linked in here.
bool AdoptFile(int fd, std::string_view utf8) {
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
  const bool soleName = st.st_nlink == 1;
  if (st.st_size == 0) {
    if (!soleName || !WriteRecord(fd, MakeRecord(utf8, Holder::kNone))) return false;
  } else if (st.st_size != static_cast<off_t>(kRecordSize) ||
             ReadRecord(fd, utf8) == RecordState::kForeign) {
    return false;
  }
  // A mode that shuts others out (a file made by hand, or under a tight umask by a creator that
  // stopped early) is repaired when this process may: by its owner, or by root.
  if (soleName && (st.st_mode & 07777) != kObjectMode) ::fchmod(fd, kObjectMode);
  return true;
}

// Makes the file complete (mode, record) while it is still nameless and then links it in, so that
// no other process ever sees it half made and the umask never narrows it. Empty with `lostRace`
// set when another process linked the name first.
UniqueFd CreateFile(const std::string& path, std::string_view utf8, bool& lostRace) {
  lostRace = false;
  UniqueFd fd(
      ::open(std::string(kShmDirectory).c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, kObjectMode));
  if (!fd || ::fchmod(fd.get(), kObjectMode) != 0 ||
      !WriteRecord(fd.get(), MakeRecord(utf8, Holder::kNone))) {
    return {};
  }
  const std::string self = "/proc/self/fd/" + std::to_string(fd.get());
  if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) != 0) {
    lostRace = errno == EEXIST;
    return {};
  }
  return fd;
}

// An existing file is opened without O_CREAT: with fs.protected_regular set, an O_CREAT open of
// another user's file in the sticky /dev/shm fails even when its mode allows the access.
UniqueFd OpenFile(const std::string& path, std::string_view utf8) {
  for (int attempt = 0; attempt < 8; ++attempt) {  // each retry means another process raced us
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY));
    if (fd) return AdoptFile(fd.get(), utf8) ? std::move(fd) : UniqueFd();
    if (errno != ENOENT) return {};
    bool lostRace = false;
    fd = CreateFile(path, utf8, lostRace);
    if (fd || !lostRace) return fd;
  }
  return {};
}

// ---- Locking -------------------------------------------------------------------------------

// Tries first, so that an owner that died before the wait is seen by a call that ThreadSanitizer
// intercepts: it intercepts pthread_mutex_trylock, repairing its view of an abandoned mutex, but
// not pthread_mutex_clocklock.
int LockThreads(pthread_mutex_t* mutex, std::uint32_t timeoutMs, const timespec& deadline) {
  int rc = ::pthread_mutex_trylock(mutex);
  if (rc != EBUSY) return rc;
  if (timeoutMs == 0) return ETIMEDOUT;
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

// flock has no time-out, so a holder in another process is polled, at most 10 ms apart.
int LockFileUntil(int fd, const timespec& deadline) {
  std::int64_t pause = 500'000;
  for (;;) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return 0;
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) return errno;
    const std::int64_t left = NanosecondsUntil(deadline);
    if (left == 0) return ETIMEDOUT;
    const std::int64_t nap = std::min(pause, left);
    const timespec t{static_cast<time_t>(nap / 1'000'000'000),
                     static_cast<long>(nap % 1'000'000'000)};
    ::nanosleep(&t, nullptr);
    pause = std::min<std::int64_t>(pause * 2, 10'000'000);
  }
}

class MutexAttr {
 public:
  MutexAttr() { ok_ = ::pthread_mutexattr_init(&attr_) == 0; }
  ~MutexAttr() {
    if (ok_) ::pthread_mutexattr_destroy(&attr_);
  }
  MutexAttr(const MutexAttr&) = delete;
  MutexAttr& operator=(const MutexAttr&) = delete;
  bool Configure() {
    return ok_ && ::pthread_mutexattr_setrobust(&attr_, PTHREAD_MUTEX_ROBUST) == 0 &&
           ::pthread_mutexattr_settype(&attr_, PTHREAD_MUTEX_RECURSIVE) == 0;
  }
  const pthread_mutexattr_t* get() const { return &attr_; }

 private:
  pthread_mutexattr_t attr_{};
  bool ok_ = false;
};

}  // namespace

// One name as this process uses it: the lock file and the mutex of this process's threads. The
// thread that owns the mutex also holds the file lock (from its first level on) and alone touches
// the file; owner and depth are guarded by the registry.
class NamedLock {
 public:
  NamedLock(std::string utf8, std::string path, UniqueFd fd)
      : utf8_(std::move(utf8)), path_(std::move(path)), fd_(std::move(fd)), process_(::getpid()) {}
  ~NamedLock() {
    if (initialised_) ::pthread_mutex_destroy(&mutex_);
  }
  NamedLock(const NamedLock&) = delete;
  NamedLock& operator=(const NamedLock&) = delete;

  bool Init() {
    MutexAttr attr;
    initialised_ = attr.Configure() && ::pthread_mutex_init(&mutex_, attr.get()) == 0;
    return initialised_;
  }
  pthread_mutex_t* Mutex() { return &mutex_; }
  const std::string& Name() const { return utf8_; }
  // The process that opened it; a child forked from that process must not use the copy.
  pid_t Process() const { return process_; }
  bool FileLocked() const { return fileLocked_.load(std::memory_order_relaxed); }
  void Forsake() { fd_.Reset(); }

  // Takes the file lock by the deadline: kSignaled, or kAbandoned when the last holder did not let
  // go cleanly (or the record was spoilt, which this process cannot vouch for either).
  WaitResult LockFile(const timespec& deadline) {
    for (int reopened = 0;; ++reopened) {
      const int rc = LockFileUntil(fd_.get(), deadline);
      if (rc == ETIMEDOUT) return WaitResult::kTimedOut;
      if (rc != 0) return WaitResult::kFailed;
      struct stat st {};
      if (::fstat(fd_.get(), &st) != 0) {
        ::flock(fd_.get(), LOCK_UN);
        return WaitResult::kFailed;
      }
      if (st.st_nlink == 0) {
        // The name was removed while this process kept the file open: whoever opens the name now
        // gets another file, so this one excludes nobody. Move to the current one.
        ::flock(fd_.get(), LOCK_UN);
        UniqueFd current = reopened < 4 ? OpenFile(path_, utf8_) : UniqueFd();
        if (!current) return WaitResult::kFailed;
        fd_ = std::move(current);
        continue;
      }
      const RecordState state = ReadRecord(fd_.get(), utf8_);
      if (!WriteWholeFile(fd_.get(), MakeRecord(utf8_, Holder::kHeld))) {
        ::flock(fd_.get(), LOCK_UN);
        return WaitResult::kFailed;
      }
      fileLocked_.store(true, std::memory_order_relaxed);
      return state == RecordState::kFree ? WaitResult::kSignaled : WaitResult::kAbandoned;
    }
  }

  // Lets go of the file lock; `clean` records that, otherwise the next holder finds it abandoned.
  // The whole file is written, which also mends one another user spoilt meanwhile.
  void UnlockFile(bool clean) {
    if (clean) WriteWholeFile(fd_.get(), MakeRecord(utf8_, Holder::kNone));
    ::flock(fd_.get(), LOCK_UN);
    fileLocked_.store(false, std::memory_order_relaxed);
  }

  std::size_t users = 0;  // open handles plus waits and releases in progress
  pid_t owner = 0;        // thread of this process that owns the mutex, 0 for none
  std::uint32_t depth = 0;

 private:
  pthread_mutex_t mutex_{};
  bool initialised_ = false;
  std::string utf8_;
  std::string path_;
  UniqueFd fd_;
  pid_t process_;
  std::atomic<bool> fileLocked_{false};  // ordered by mutex_; atomic for the exiting-thread hook
};

namespace {

// One lock per name for the whole process, whichever LinuxMutexes opened it: the file lock belongs
// to an open file, and two open files of one name in one process would exclude each other's
// threads without the recursion and ownership rules. So this table is process-wide by nature, the
// only static of the backend. It is never destroyed, so that a thread still inside a call while
// the process exits does not see it torn down. It also hands out the handle values, so that a
// value is never reused nor valid in two instances.
class Registry {
 public:
  static Registry& Instance() {
    static Registry* const registry = new Registry();
    return *registry;
  }

  // One more user of the lock of this name, opened on first use. Null on failure.
  NamedLock* Acquire(std::string utf8) {
    std::string objectName = ObjectName(utf8);
    std::lock_guard lock(mutex_);
    auto it = byObject_.find(objectName);
    if (it != byObject_.end() && it->second->Process() != ::getpid()) {
      // Inherited through fork: its file lock is shared with the parent. Left alone (the copy of
      // its mutex may look owned by a parent's thread) apart from the descriptor.
      it->second->Forsake();
      static_cast<void>(it->second.release());
      byObject_.erase(it);
      it = byObject_.end();
    }
    if (it == byObject_.end()) {
      std::string path = ObjectPath(objectName);
      UniqueFd fd = OpenFile(path, utf8);
      if (!fd) return nullptr;
      auto named = std::make_unique<NamedLock>(std::move(utf8), std::move(path), std::move(fd));
      if (!named->Init()) return nullptr;
      it = byObject_.emplace(std::move(objectName), std::move(named)).first;
    } else if (it->second->Name() != utf8) {
      return nullptr;  // a hash collision: refuse rather than share
    }
    ++it->second->users;
    return it->second.get();
  }

  std::uint64_t NextHandleValue() {
    std::lock_guard lock(mutex_);
    return nextHandle_++;
  }

  void AddUser(NamedLock& named) {
    std::lock_guard lock(mutex_);
    ++named.users;
  }

  // Ends one use, first noting that the calling thread has just locked the mutex when it did.
  void EndUse(NamedLock& named, bool locked) {
    std::lock_guard lock(mutex_);
    if (locked) {
      pid_t self = ::gettid();
      if (named.owner == self && named.depth > 0) {
        ++named.depth;
      } else {
        // After an abandonment: the dead thread's count does not carry over.
        named.owner = self;
        named.depth = 1;
      }
    }
    DropUserLocked(named);
  }

  // Unlocks once when the calling thread owns the mutex, then ends the use. Checking ownership here
  // first keeps a non-owner away from the file and pthread_mutex_unlock; unlocking under the
  // registry lock keeps owner and depth in step with the mutex. The last level lets go of the file
  // before the mutex, so that the next thread here finds the file lock free to take.
  bool UnlockAndEndUse(NamedLock& named) {
    std::lock_guard lock(mutex_);
    bool released = false;
    if (named.depth > 0 && named.owner == ::gettid()) {
      if (named.depth == 1) named.UnlockFile(true);
      if (::pthread_mutex_unlock(named.Mutex()) == 0) {
        if (--named.depth == 0) named.owner = 0;
        released = true;
      }
    }
    DropUserLocked(named);
    return released;
  }

  void EndUse(NamedLock& named) {
    std::lock_guard lock(mutex_);
    DropUserLocked(named);
  }

  // The calling thread is ending. What it owns is left abandoned: its mutexes to this process's
  // threads (the kernel marks them once the thread is gone), the files to every process. Clearing
  // the owner keeps a later thread that gets the same ID from releasing them.
  void ThreadEnding() {
    std::lock_guard lock(mutex_);
    const pid_t self = ::gettid();
    const pid_t process = ::getpid();
    for (auto& [name, named] : byObject_) {
      if (named->Process() != process || named->owner != self || named->depth == 0) continue;
      if (named->FileLocked()) named->UnlockFile(false);
      named->owner = 0;
    }
  }

 private:
  Registry() = default;

  // Closes when nobody uses the lock and no thread of ours owns the mutex.
  void DropUserLocked(NamedLock& named) {
    if (--named.users > 0 || named.depth > 0) return;
    for (auto it = byObject_.begin(); it != byObject_.end(); ++it) {
      if (it->second.get() == &named) {
        byObject_.erase(it);
        return;
      }
    }
  }

  std::mutex mutex_;
  std::map<std::string, std::unique_ptr<NamedLock>, std::less<>> byObject_;
  std::uint64_t nextHandle_ = 1;
};

// Per thread, armed by its first wait: tells the registry when the thread ends.
class ThreadExitHook {
 public:
  void Arm() {}
  ~ThreadExitHook() { Registry::Instance().ThreadEnding(); }
};
thread_local ThreadExitHook threadExitHook;

bool IsValidName(std::u16string_view name) {
  return !name.empty() && name.size() <= kMaxNameUnits;
}

}  // namespace

LinuxMutexes::~LinuxMutexes() {
  std::lock_guard lock(mutex_);
  for (auto& [value, named] : handles_) Registry::Instance().EndUse(*named);
  handles_.clear();
}

MutexHandle LinuxMutexes::Open(std::u16string_view name) {
  if (!IsValidName(name)) {
    SetLastCause({.operation = "mutex open", .osError = EINVAL});
    return {};
  }
  Registry& registry = Registry::Instance();
  errno = 0;
  NamedLock* named = registry.Acquire(EncodeName(name));
  if (named == nullptr) {
    // errno as the failing call left it; a lock file found damaged leaves none.
    const int error = errno;
    SetLastCause(
        {.operation = "mutex open", .osError = error, .detail = error == 0 ? "refused" : ""});
    return {};
  }
  MutexHandle handle{registry.NextHandleValue()};
  std::lock_guard lock(mutex_);
  handles_.emplace(handle.value, named);
  return handle;
}

// Finds the lock and counts one more use of it, so that a concurrent Close cannot close it.
NamedLock* LinuxMutexes::Find(MutexHandle handle) {
  std::lock_guard lock(mutex_);
  auto it = handles_.find(handle.value);
  if (it == handles_.end() || it->second->Process() != ::getpid()) return nullptr;
  Registry::Instance().AddUser(*it->second);
  return it->second;
}

WaitResult LinuxMutexes::Wait(MutexHandle handle, std::uint32_t timeoutMs) {
  NamedLock* named = Find(handle);
  if (named == nullptr) {
    SetLastCause({.operation = "mutex wait", .osError = EBADF});
    return WaitResult::kFailed;
  }
  threadExitHook.Arm();
  const timespec deadline = MonotonicDeadlineAfter(timeoutMs);
  int rc = LockThreads(named->Mutex(), timeoutMs, deadline);
  WaitResult result = WaitResult::kFailed;
  if (rc == 0) {
    result = WaitResult::kSignaled;
  } else if (rc == EOWNERDEAD) {
    // A thread of ours died owning it. Make it usable again; the caller owns it, as on Windows.
    result = WaitResult::kAbandoned;
    if (::pthread_mutex_consistent(named->Mutex()) != 0) {
      ::pthread_mutex_unlock(named->Mutex());
      result = WaitResult::kFailed;
    }
  } else if (rc == ETIMEDOUT) {
    result = WaitResult::kTimedOut;
  }  // EAGAIN (recursion count exhausted) and the rest fail
  bool locked = result == WaitResult::kSignaled || result == WaitResult::kAbandoned;
  if (locked && !named->FileLocked()) {
    // The first level (or the first after a dead owner): other processes are shut out too.
    const WaitResult file = named->LockFile(deadline);
    if (file == WaitResult::kAbandoned) {
      result = WaitResult::kAbandoned;
    } else if (file != WaitResult::kSignaled) {
      ::pthread_mutex_unlock(named->Mutex());
      result = file;
      locked = false;
    }
  }
  Registry::Instance().EndUse(*named, locked);
  if (result == WaitResult::kFailed) {
    SetLastCause({.operation = "mutex wait", .osError = rc != 0 && rc != ETIMEDOUT ? rc : 0});
  }
  return result;
}

bool LinuxMutexes::Release(MutexHandle handle) {
  NamedLock* named = Find(handle);
  if (named == nullptr) return false;
  return Registry::Instance().UnlockAndEndUse(*named);
}

void LinuxMutexes::Close(MutexHandle handle) {
  std::lock_guard lock(mutex_);
  auto it = handles_.find(handle.value);
  if (it == handles_.end()) return;
  Registry::Instance().EndUse(*it->second);
  handles_.erase(it);
}

bool LinuxMutexes::RemoveName(std::u16string_view name) {
  return IsValidName(name) && ::unlink(ObjectPath(SharedObjectName(name)).c_str()) == 0;
}

std::string LinuxMutexes::SharedObjectName(std::u16string_view name) {
  return IsValidName(name) ? ObjectName(EncodeName(name)) : std::string();
}

}  // namespace tr350::platform
