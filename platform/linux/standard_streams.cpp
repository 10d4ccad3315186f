// Descriptors 0-2 of a program started with some of them closed.
#include "platform/linux/standard_streams.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace tr350::platform {

bool OpenMissingStandardDescriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free descriptor is this one: the ones below it are open by now.
    const int opened = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    if (opened == fd) continue;
    if (opened >= 0) ::close(opened);
    return false;
  }
  return true;
}

}  // namespace tr350::platform
