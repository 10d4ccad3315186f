// The update worker of the main dialog: runs the update on the workflow core and shows its result.
#include "app/update_worker.h"

#include <optional>

#include "app/fixed_texts.h"
#include "app/message_box_dialog.h"
#include "app/read_worker.h"
#include "ids/resource_ids.h"
#include "workflow/backup_keeper.h"
#include "workflow/core.h"

namespace tr350 {

void UpdateFirmwareThread(CRZ6104FwUpdateToolDlg* dialog) {
  CRZ6104FwUpdateToolDlg& dlg = *dialog;
  dlg.m_busy.exchange(1);
  dlg.m_lastError.reset();
  dlg.m_progress.SetRange(0, workflow::kUpdateProgressHigh);
  dlg.m_progress.SetPos(0);
  dlg.ShowItem(IDC_PROGRESS, true);

  // The reader keeps its own USB identity. A reader that reads back blank gets the header kept
  // from an interrupted update of this session, or recovered from its backup.
  workflow::UpdateRequest request;
  request.readerHeader = dlg.m_deviceImage.header;
  if (!workflow::IsProgrammedReaderHeader(request.readerHeader) && dlg.m_recoveryHeader) {
    request.readerHeader = *dlg.m_recoveryHeader;
  } else {
    request.currentContent = dlg.m_deviceContent;
  }
  const BackupStore store(dlg.m_backupDirectory);
  workflow::StoreKeeper backups(store);
  if (!dlg.m_backupDirectory.empty()) request.backups = &backups;
  request.recoveredFrom = dlg.m_recoveryBackup;

  ProgressBar progress(dlg.m_progress);
  const workflow::UpdateResult result = workflow::UpdateReader(
      dlg.m_deviceTable, {dlg.m_fileImage, dlg.m_fileFw1Version, dlg.m_fileFw2Version}, request,
      progress);
  if (result.writeStarted) {
    // From the first write on, the flash may be left without its header: keep it for a retry.
    dlg.m_recoveryHeader = request.readerHeader;
    dlg.m_deviceImage.header = result.writtenHeader;
  }
  if (result.verified) {
    dlg.m_recoveryHeader.reset();  // the reader holds a complete, verified image again
    dlg.m_recoveryBackup.reset();
  }
  if (!result.error) {
    dlg.SetItemText(IDC_STATUS_EDIT, dlg.Ui().LoadString(IDS_FW_LATEST));
    CMessageBoxDlg resultDialog(dlg.Ui());
    resultDialog.DoModal();
    dlg.ShowItem(IDC_UPDATE, false);
  } else {
    dlg.m_lastError = result.error;
    if (result.error == ErrorCode::kReaderInUse) {
      dlg.MessageBox(text::kReaderInUse, text::kErrorCaption, ui::MessageBoxIcon::kError);
    }
    dlg.MessageBox(text::kUpdateNg);
    dlg.SetItemText(IDC_STATUS_EDIT, text::kStatusError);
  }
  dlg.m_busy.exchange(0);
  dlg.NextDlgCtl(IDCANCEL);
  dlg.ShowItem(IDC_PROGRESS, false);
  dlg.EnableItem(IDC_UPDATE, true);
  dlg.m_updateRunning.exchange(false);
  // The reader restarts at the end of an update and usually comes back while the result dialog
  // is still open, when its arrival is put aside: rescan now, as the arrival would have, so that
  // the window shows the reader's new firmware rather than the verdict on the old one.
  if (dlg.m_arrivalDuringUpdate.exchange(false) && dlg.m_busy.exchange(1) == 0) {
    dlg.SetTimer(IDT_RESCAN, kRescanDelayMs);
  }
}

}  // namespace tr350
