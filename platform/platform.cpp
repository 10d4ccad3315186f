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

namespace {
class EmptySet final : public DeviceInfoSet {
 public:
  std::size_t Size() const override { return 0; }
  std::optional<std::u16string> InstanceId(std::size_t) const override { return std::nullopt; }
  std::optional<std::u16string> InterfacePath(std::size_t) const override { return std::nullopt; }
};
class NoSubscription final : public DeviceNotifications::Subscription {};
}  // namespace

std::unique_ptr<DeviceInfoSet> NoDevices::OpenPresent(InterfaceClass) {
  return std::make_unique<EmptySet>();
}

std::unique_ptr<DeviceNotifications::Subscription> NoDevices::Subscribe(Listener) {
  return std::make_unique<NoSubscription>();
}

Platform* CurrentOrNull() {
  return g_current;
}

ScopedPlatform::ScopedPlatform(Platform& platform) : previous_(g_current) {
  g_current = &platform;
}

ScopedPlatform::~ScopedPlatform() {
  g_current = previous_;
}

}  // namespace tr350::platform
