// The result dialog: "Update OK", shown by the update thread after a successful update.
#pragma once

#include "ui/ui.h"

namespace tr350 {

// Constructed and run from the update thread; the dialog itself runs on the window's thread while
// that thread waits (see platform/ui.h).
class CMessageBoxDlg : public ui::Dialog {
 public:
  explicit CMessageBoxDlg(ui::Backend& ui);

 protected:
  bool OnInitDialog() override;
};

}  // namespace tr350
