// The thread-exit slot on Windows: a fiber-local slot, whose callback runs as the thread ends.
#include "platform/thread_exit.h"

#include <windows.h>

#include <memory>

namespace tr350::platform {
namespace {

// What the slot holds per thread: the callback has the system's calling convention and gets only
// the slot's value, so the value travels with the clean-up it needs.
struct Entry {
  ThreadExitSlot::CleanUp cleanUp;
  void* value;
};

void NTAPI OnFiberEnd(void* stored) {
  const std::unique_ptr<Entry> entry(static_cast<Entry*>(stored));
  if (entry && entry->value != nullptr) entry->cleanUp(entry->value);
}

}  // namespace

ThreadExitSlot::ThreadExitSlot(CleanUp cleanUp) : cleanUp_(cleanUp) {
  const DWORD index = ::FlsAlloc(OnFiberEnd);
  valid_ = index != FLS_OUT_OF_INDEXES;
  key_ = index;
}

void* ThreadExitSlot::Get() const {
  if (!valid_) return nullptr;
  const auto* entry = static_cast<const Entry*>(::FlsGetValue(static_cast<DWORD>(key_)));
  return entry != nullptr ? entry->value : nullptr;
}

bool ThreadExitSlot::Set(void* value) {
  if (!valid_) return false;
  const auto index = static_cast<DWORD>(key_);
  if (auto* entry = static_cast<Entry*>(::FlsGetValue(index))) {
    entry->value = value;
    return true;
  }
  auto entry = std::make_unique<Entry>(Entry{cleanUp_, value});
  if (!::FlsSetValue(index, entry.get())) return false;
  static_cast<void>(entry.release());  // the slot owns it until the thread ends
  return true;
}

}  // namespace tr350::platform
