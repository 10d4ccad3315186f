// The result dialog.
#include "app/message_box_dialog.h"

#include "app/resource.h"

namespace tr350 {

CMessageBoxDlg::CMessageBoxDlg(ui::Backend& ui) : ui::Dialog(ui, IDD_MESSAGEBOX) {}

bool CMessageBoxDlg::OnInitDialog() {
  ui::Dialog::OnInitDialog();
  return true;
}

}  // namespace tr350
