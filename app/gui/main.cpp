// Entry point of the desktop tool.
#include <iostream>

#include "app/gui/desktop.h"
#include "platform/native.h"
#include "platform/termination.h"

int main(int argc, char** argv) {
  // Before anything is opened: no reader's node may become a standard stream.
  if (!tr350::platform::PrepareStandardStreams()) return tr350::gui::kExitFailure;
  tr350::platform::InstallTerminationHandlers(tr350::gui::kProgramName);
  return tr350::gui::Main(argc, argv, std::cout, std::cerr);
}
