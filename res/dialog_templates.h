// The program's dialog templates: the main dialog (English and Chinese (Traditional)), the about
// box (English, Chinese (Traditional), Japanese) and the result dialog (English (United States)
// and Chinese (Traditional)); and the window resources as a backend is given them.
#pragma once

#include <span>

#include "ui/ui.h"

namespace tr350::res {

// Constant data: thread-safe.
std::span<const ui::DialogTemplate> DialogTemplates();

// The dialog templates and the string table together.
ui::UiResources WindowResources();

}  // namespace tr350::res
