// A per-thread value handed to a clean-up function when its thread ends: what a thread_local object
// with a destructor would do, without one (Wine's heap does not survive those at thread exit). The
// backends implement it: a pthread key on Linux, a fiber-local slot on Windows.
#pragma once

#include <cstdint>

namespace tr350::platform {

// Lives as long as the process: create it once (a function-local static made with new) and never
// destroy it, so that no thread still running can find its slot gone.
class ThreadExitSlot {
 public:
  // Runs on the ending thread with the value it set, when that value is not null.
  using CleanUp = void (*)(void* value);

  explicit ThreadExitSlot(CleanUp cleanUp);
  ThreadExitSlot(const ThreadExitSlot&) = delete;
  ThreadExitSlot& operator=(const ThreadExitSlot&) = delete;

  // The calling thread's value; null until it sets one.
  void* Get() const;
  // False when the system has no slot to give (the value then gets no clean-up).
  bool Set(void* value);

 private:
  CleanUp cleanUp_;         // for systems whose callback cannot be the clean-up itself
  std::uintptr_t key_ = 0;  // the system's key or index
  bool valid_ = false;
};

}  // namespace tr350::platform
