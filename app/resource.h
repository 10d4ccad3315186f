// The program's identifiers, with the dialog framework's IDOK and IDCANCEL (the Exit button) among
// them, as the dialogs use them.
#pragma once

#include "ids/resource_ids.h"
#include "ui/ui.h"

namespace tr350 {

using ui::IDCANCEL;
using ui::IDOK;

}  // namespace tr350
