// The thread-exit slot on Linux: a pthread key, whose destructor runs as the thread ends.
#include "platform/thread_exit.h"

#include <pthread.h>

namespace tr350::platform {

static_assert(sizeof(pthread_key_t) <= sizeof(std::uintptr_t));

ThreadExitSlot::ThreadExitSlot(CleanUp cleanUp) : cleanUp_(cleanUp) {
  pthread_key_t key{};
  valid_ = ::pthread_key_create(&key, cleanUp_) == 0;
  key_ = static_cast<std::uintptr_t>(key);
}

void* ThreadExitSlot::Get() const {
  return valid_ ? ::pthread_getspecific(static_cast<pthread_key_t>(key_)) : nullptr;
}

bool ThreadExitSlot::Set(void* value) {
  return valid_ && ::pthread_setspecific(static_cast<pthread_key_t>(key_), value) == 0;
}

}  // namespace tr350::platform
