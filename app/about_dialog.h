// The about box: the tool's name and version, opened from the main window's system menu.
#pragma once

#include <string>

#include "ui/ui.h"

namespace tr350 {

// Runs on the window's thread.
class CAboutDlg : public ui::Dialog {
 public:
  explicit CAboutDlg(ui::Backend& ui);

  std::u16string m_versionLine;

 protected:
  void DoDataExchange(ui::DataExchange& dx) override;
  // Without a version resource the box ends at once with IDCANCEL, unseen.
  bool OnInitDialog() override;
};

}  // namespace tr350
