// The application object.
#include "app/app.h"

#include "app/main_dialog.h"

namespace tr350 {

bool CRZ6104FwUpdateToolApp::InitInstance() {
  ui_.InitCommonControls();
  // The tool keeps no settings of its own: no registry key and no settings file.
  CRZ6104FwUpdateToolDlg dialog(ui_);
  dialog.DoModal();
  return false;
}

}  // namespace tr350
