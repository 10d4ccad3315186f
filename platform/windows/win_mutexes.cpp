// CreateMutexW, WaitForSingleObject, ReleaseMutex and CloseHandle behind the Mutexes interface.
#include "platform/windows/win_mutexes.h"

#include <cerrno>
#include <string>

#include "platform/windows/win_error.h"

namespace tr350::platform::windows {
namespace {

constexpr std::size_t kMaxNameUnits = 260;  // MAX_PATH, the limit of object names

}  // namespace

MutexHandle WinMutexes::Open(std::u16string_view name) {
  const std::optional<std::wstring> wide = ToWide(name);
  if (!wide || name.size() > kMaxNameUnits) {
    SetLastCause({.operation = "mutex open", .osError = EINVAL});
    return {};
  }
  // Opens the mutex when it exists (ERROR_ALREADY_EXISTS is no failure), else creates it unowned.
  auto handle = std::make_shared<UniqueHandle>(::CreateMutexW(nullptr, FALSE, wide->c_str()));
  if (!*handle) {
    SetLastCause(Win32Cause("mutex open", ::GetLastError()));
    return {};
  }
  std::lock_guard lock(mutex_);
  const MutexHandle value{nextValue_++};
  handles_.emplace(value.value, std::move(handle));
  return value;
}

std::shared_ptr<UniqueHandle> WinMutexes::Find(MutexHandle handle) {
  std::lock_guard lock(mutex_);
  const auto it = handles_.find(handle.value);
  return it == handles_.end() ? nullptr : it->second;
}

WaitResult WinMutexes::Wait(MutexHandle handle, std::uint32_t timeoutMs) {
  const std::shared_ptr<UniqueHandle> system = Find(handle);
  if (!system) {
    SetLastCause({.operation = "mutex wait", .osError = EBADF});  // closed or never opened
    return WaitResult::kFailed;
  }
  switch (::WaitForSingleObject(system->get(), timeoutMs)) {
    case WAIT_OBJECT_0:
      return WaitResult::kSignaled;
    case WAIT_ABANDONED:
      return WaitResult::kAbandoned;  // the caller owns it now, as the system says
    case WAIT_TIMEOUT:
      return WaitResult::kTimedOut;
    default:
      SetLastCause(Win32Cause("mutex wait", ::GetLastError()));
      return WaitResult::kFailed;
  }
}

bool WinMutexes::Release(MutexHandle handle) {
  const std::shared_ptr<UniqueHandle> system = Find(handle);
  // The system refuses a thread that does not own the mutex.
  return system && ::ReleaseMutex(system->get()) != FALSE;
}

void WinMutexes::Close(MutexHandle handle) {
  std::shared_ptr<UniqueHandle> closing;
  {
    std::lock_guard lock(mutex_);
    const auto it = handles_.find(handle.value);
    if (it == handles_.end()) return;
    closing = std::move(it->second);
    handles_.erase(it);
  }
  // The system's handle closes here, or when the last wait on it returns.
}

}  // namespace tr350::platform::windows
