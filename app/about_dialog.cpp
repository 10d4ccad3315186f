// The about box.
#include "app/about_dialog.h"

#include "app/fixed_texts.h"
#include "app/resource.h"
#include "app/version_text.h"

namespace tr350 {

CAboutDlg::CAboutDlg(ui::Backend& ui) : ui::Dialog(ui, IDD_ABOUTBOX) {}

void CAboutDlg::DoDataExchange(ui::DataExchange& dx) {
  dx.Text(IDC_ABOUT_VERSION, m_versionLine);
}

bool CAboutDlg::OnInitDialog() {
  ui::Dialog::OnInitDialog();
  std::u16string version;
  if (!GetAppVersionString(version)) {
    EndDialog(IDCANCEL);
    return true;
  }
  ShowItem(IDC_ABOUT_ICON, true);
  m_versionLine = std::u16string(text::kAboutVersionHead) + version;
  SetWindowText(text::kAboutTitle);
  UpdateData(false);
  return true;
}

}  // namespace tr350
