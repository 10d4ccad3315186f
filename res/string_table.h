// The program's string table in its three language variants: neutral, Chinese (Traditional) and
// Japanese.
#pragma once

#include <span>

#include "ui/ui.h"

namespace tr350::res {

// Every string of every variant; the backend's loader picks the user's variant, else the neutral.
// Constant data: thread-safe.
std::span<const ui::StringEntry> StringTable();

}  // namespace tr350::res
