// Whether the front end writes to an interactive terminal.
#include <unistd.h>

#include "ui/headless/headless_ui.h"

namespace tr350::ui::headless {

bool StandardOutputIsTerminal() {
  return isatty(STDOUT_FILENO) == 1;
}

}  // namespace tr350::ui::headless
