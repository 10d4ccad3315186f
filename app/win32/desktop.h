// The Windows desktop program: the window on the native Win32 backend, against the machine's
// readers or the demo machine of --simulate, with the command line every desktop shares.
#pragma once

#include <optional>
#include <span>
#include <string_view>

#include "app/desktop/demo_machine.h"
#include "app/desktop/options.h"
#include "platform/platform.h"
#include "ui/ui.h"
#include "ui/win32/win32_ui.h"

namespace tr350::win32_desktop {

// The options the program's window runs with: its resource tables and the platform's device
// changes; the user's UI language unless one is given.
ui::win32::Win32UiOptions WindowOptions(platform::Platform& platform,
                                        std::optional<ui::Language> language = std::nullopt);

// Runs the main dialog until it closes, polling the demo machine meanwhile (when there is one).
// The calling thread becomes the window's thread; the platform must be the current one.
void RunWindow(ui::Backend& ui, desktop::DemoMachine* demo);

// The whole program, given its arguments without the program name. --help, --version and
// --simulate=help answer on the standard output when it leads somewhere, else in a message box.
int Main(std::span<const std::string_view> args);

}  // namespace tr350::win32_desktop
