// tr350-kernel-watch: prints the device notifications the tool's Linux backend delivers (what
// makes the window check again), one line each, until SIGTERM or SIGINT.
#include <signal.h>

#include <cstdio>

#include "platform/linux/udev_devices.h"

int main() {
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  // Blocked before the listener's thread starts, so that only sigwait sees them.
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  tr350::platform::UdevNotifications notifications;
  const auto subscription = notifications.Subscribe([](tr350::platform::DeviceChange change) {
    std::printf("notification %s\n",
                change == tr350::platform::DeviceChange::kArrival ? "arrival" : "removal");
    std::fflush(stdout);
  });
  if (!subscription) {
    std::fprintf(stderr, "tr350-kernel-watch: no device notifications on this system\n");
    return 1;
  }
  std::printf("watching\n");
  std::fflush(stdout);
  int received = 0;
  sigwait(&stopSignals, &received);
  return 0;
}
