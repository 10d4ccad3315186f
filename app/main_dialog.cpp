// The main dialog's life and handlers: initialisation, the system menu, painting while minimised,
// the two buttons, the timers and device changes.
#include "app/main_dialog.h"

#include "workflow/backup_keeper.h"

#include "app/about_dialog.h"
#include "app/fixed_texts.h"
#include "app/update_worker.h"
#include "app/version_text.h"

namespace tr350 {

std::u16string MainWindowTitle(std::u16string_view version) {
  return std::u16string(text::kAppTitleFormatHead) + std::u16string(version) +
         std::u16string(text::kAppTitleFormatTail);
}

CRZ6104FwUpdateToolDlg::CRZ6104FwUpdateToolDlg(ui::Backend& ui)
    : ui::Dialog(ui, IDD_UPDATETOOL_DIALOG),
      m_backupDirectory(workflow::DefaultBackupDirectory(platform::CurrentOrNull() != nullptr &&
                                                         platform::CurrentOrNull()->Emulated())) {}

// The table, the images and the strings release what they hold themselves. The window's modal
// loop has waited for its workers, so none uses them any more.
CRZ6104FwUpdateToolDlg::~CRZ6104FwUpdateToolDlg() = default;

void CRZ6104FwUpdateToolDlg::DoDataExchange(ui::DataExchange& dx) {
  dx.Text(IDC_STATUS_EDIT, m_statusText);
  dx.Control(IDC_PROGRESS, m_progress);
  dx.Control(IDC_STATUS_EDIT, m_statusEdit);
}

bool CRZ6104FwUpdateToolDlg::OnInitDialog() {
  ui::Dialog::OnInitDialog();
  if (HasSystemMenu()) {
    const std::u16string_view aboutItem = text::kAboutMenuItem;
    std::u16string version;
    GetAppVersionString(version);  // without a version resource the title has an empty version
    const std::u16string title = MainWindowTitle(version);
    m_hIcon = Ui().LoadIcon(IDR_MAINFRAME);
    SetIcon(m_hIcon, true);
    SetIcon(m_hIcon, false);
    SetWindowText(title);
    if (!aboutItem.empty()) {
      AppendSystemMenuSeparator();
      AppendSystemMenuItem(IDM_ABOUTBOX, aboutItem);
    }
  }
  NextDlgCtl(IDC_UPDATE);
  m_busy.exchange(0);
  ShowItem(IDC_MESSAGE_EDIT, true);
  ScanForReader();
  return false;  // the focus has been placed
}

void CRZ6104FwUpdateToolDlg::OnCommand(int id) {
  switch (id) {
    case IDC_UPDATE:
      OnBnClickedUpdate();
      break;
    case IDCANCEL:
      OnBnClickedCancel();
      break;
    default:
      ui::Dialog::OnCommand(id);
      break;
  }
}

void CRZ6104FwUpdateToolDlg::OnSysCommand(std::uint32_t id, std::intptr_t parameter) {
  if ((id & ui::kSystemCommandMask) == IDM_ABOUTBOX) {
    CAboutDlg about(Ui());
    about.DoModal();
  } else {
    ui::Dialog::OnSysCommand(id, parameter);
  }
}

void CRZ6104FwUpdateToolDlg::OnPaint() {
  ui::Window* window = GetWindow();
  if (window == nullptr || !window->IsIconic()) {
    ui::Dialog::OnPaint();
    return;
  }
  const ui::Size client = window->ClientSize();
  const ui::Size icon = window->IconSize();
  window->PaintIcon(m_hIcon, (client.width - icon.width + 1) / 2,
                    (client.height - icon.height + 1) / 2);
}

void CRZ6104FwUpdateToolDlg::OnBnClickedUpdate() {
  // While a scan, a read-back or a pending rescan owns the table and the reader, a second worker
  // would share them: the click is ignored (the button keeps its state; the verdict will set it).
  if (m_busy.exchange(1) != 0) return;
  EnableItem(IDC_UPDATE, false);
  m_updateRunning.exchange(true);
  if (BeginThread([this] { UpdateFirmwareThread(this); })) return;
  // No thread: report it as the update's own failure, with nothing written.
  m_updateRunning.exchange(false);
  m_lastError = ErrorCode::kStartThread;
  m_busy.exchange(0);
  MessageBox(text::kUpdateNg);
  SetItemText(IDC_STATUS_EDIT, text::kStatusError);
  NextDlgCtl(IDCANCEL);
  EnableItem(IDC_UPDATE, true);
}

void CRZ6104FwUpdateToolDlg::OnBnClickedCancel() {
  OnCancel();
}

bool CRZ6104FwUpdateToolDlg::RefuseCloseWhileUpdating() {
  if (!m_updateRunning.load()) return false;
  MessageBox(text::kUpdateRunning, text::kToolName, ui::MessageBoxIcon::kWarning);
  return true;
}

// A read-back that is still running when the window closes is waited for by the window's loop.
void CRZ6104FwUpdateToolDlg::OnOK() {
  if (!RefuseCloseWhileUpdating()) ui::Dialog::OnOK();
}

void CRZ6104FwUpdateToolDlg::OnCancel() {
  if (!RefuseCloseWhileUpdating()) ui::Dialog::OnCancel();
}

void CRZ6104FwUpdateToolDlg::OnTimer(std::uintptr_t id) {
  if (id == IDT_RESCAN) {
    KillTimer(IDT_RESCAN);
    // Still 1: the rescan this timer was armed for is still wanted and nothing else has run.
    if (m_busy.load() == 1) ScanForReader();
  } else if (id == IDT_SHOW_VERSION) {
    KillTimer(IDT_SHOW_VERSION);
    ShowVersionResult();
  }
  ui::Dialog::OnTimer(id);
}

bool CRZ6104FwUpdateToolDlg::OnDeviceChange(platform::DeviceChange change) {
  // Both events the platform reports (arrival, removal complete) arm one rescan; while a workflow
  // runs or a rescan is pending they are ignored.
  if (m_busy.load() == 0) {
    SetTimer(IDT_RESCAN, kRescanDelayMs);
    m_busy.exchange(1);
  } else if (m_updateRunning.load() && change == platform::DeviceChange::kArrival) {
    m_arrivalDuringUpdate.exchange(true);
  }
  return true;
}

}  // namespace tr350
