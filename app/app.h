// The application object: starts the program's window and ends the program when it closes.
#pragma once

#include "ui/ui.h"

namespace tr350 {

// Made once by the program's entry point with the backend it chose; runs on the thread that is to
// be the window's thread.
class CRZ6104FwUpdateToolApp {
 public:
  explicit CRZ6104FwUpdateToolApp(ui::Backend& ui) : ui_(ui) {}

  // Runs the main dialog modally. Returns false: the program ends when the dialog does, without a
  // message loop of its own.
  bool InitInstance();

 private:
  ui::Backend& ui_;
};

}  // namespace tr350
