// Entry point of the Windows desktop tool (a program of the windows subsystem: no console).
#include <string_view>
#include <vector>

#include "app/front_end.h"
#include "app/win32/desktop.h"
#include "platform/native.h"
#include "platform/termination.h"

int main(int argc, char** argv) {
  if (!tr350::platform::PrepareStandardStreams()) return tr350::front_end::kExitFailure;
  tr350::platform::InstallTerminationHandlers(tr350::desktop::kProgramName);
  const std::vector<std::string_view> args(argv + 1, argv + argc);
  return tr350::win32_desktop::Main(args);
}
