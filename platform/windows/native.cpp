// The Windows machine behind the portable start-up calls.
#include "platform/native.h"

#include <windows.h>

#include <cstdlib>

#include "platform/windows/win_resources.h"
#include "platform/windows/windows_platform.h"

namespace tr350::platform {
namespace {

// The console's output code page before the program changed it, given back as the program ends
// so that the console is left as it was found.
UINT g_previousOutputCodePage = 0;

void RestoreOutputCodePage() {
  ::SetConsoleOutputCP(g_previousOutputCodePage);
}

}  // namespace

std::unique_ptr<ProgramResources> OpenProgramResources() {
  return std::make_unique<windows::WinModuleResources>();
}

std::unique_ptr<Platform> MakeNativePlatform() {
  return std::make_unique<WindowsPlatform>();
}

bool PrepareStandardStreams() {
  // The program writes UTF-8. A console shows it once its output code page says so; a pipe or a
  // file takes the bytes as they are.
  DWORD mode = 0;
  const HANDLE output = ::GetStdHandle(STD_OUTPUT_HANDLE);
  const HANDLE error = ::GetStdHandle(STD_ERROR_HANDLE);
  const bool console = ::GetConsoleMode(output, &mode) || ::GetConsoleMode(error, &mode);
  const UINT previous = ::GetConsoleOutputCP();
  if (console && previous != CP_UTF8 && ::SetConsoleOutputCP(CP_UTF8)) {
    g_previousOutputCodePage = previous;
    std::atexit(RestoreOutputCodePage);
  }
  // Handles are not numbered as descriptors are: a disk the program opens can never become a
  // standard stream, so there is nothing to guard.
  return true;
}

void SetProcessEnvironment(const std::string& name, const std::optional<std::string>& value) {
  // The C library's copy of the environment is what getenv reads; an empty value removes the
  // variable.
  ::_putenv_s(name.c_str(), value ? value->c_str() : "");
}

}  // namespace tr350::platform
