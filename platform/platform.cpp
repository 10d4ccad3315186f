// The process's one platform instance.
#include "platform/platform.h"

#include <cstdlib>

namespace tr350::platform {
namespace {
Platform* g_current = nullptr;
}  // namespace

Platform& Current() {
  if (g_current == nullptr) std::abort();  // a start-up fault: nothing can work without it
  return *g_current;
}

void SetCurrent(Platform* platform) { g_current = platform; }

Platform* CurrentOrNull() { return g_current; }

ScopedPlatform::ScopedPlatform(Platform& platform) : previous_(g_current) { g_current = &platform; }

ScopedPlatform::~ScopedPlatform() { g_current = previous_; }

}  // namespace tr350::platform
