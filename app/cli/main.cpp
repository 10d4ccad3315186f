// Entry point of the terminal front end on the machine's real platform.
#include <iostream>
#include <string_view>
#include <vector>

#include "app/cli/cli.h"
#include "platform/linux/linux_platform.h"

int main(int argc, char** argv) {
  tr350::platform::LinuxPlatform platform;
  tr350::platform::SetCurrent(&platform);
  const std::vector<std::string_view> args(argv + 1, argv + argc);
  const int code = tr350::cli::RunCli(args, platform, std::cout, std::cerr);
  tr350::platform::SetCurrent(nullptr);
  return code;
}
