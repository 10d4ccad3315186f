// The scan (window's thread), the read-back worker and the verdict.
#include "app/read_worker.h"

#include <algorithm>
#include <vector>

#include "app/fixed_texts.h"
#include "ids/resource_ids.h"
#include "image/version_stamp.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "workflow/backup_keeper.h"
#include "workflow/core.h"

namespace tr350 {
namespace {

// The pattern with its "%s" replaced by the argument.
std::u16string FormatText(std::u16string pattern, std::u16string_view argument) {
  const std::size_t at = pattern.find(u"%s");
  if (at != std::u16string::npos) pattern.replace(at, 2, argument);
  return pattern;
}

// A blank reader: when a backup of it is pending, its header comes back from there and the
// verdict offers the update.
bool OfferRecovery(CRZ6104FwUpdateToolDlg& dlg) {
  if (dlg.m_backupDirectory.empty()) return false;
  const BackupStore store(dlg.m_backupDirectory);
  const BackupChoice choice = store.ChooseFor(workflow::PortOf(dlg.m_deviceIdentity));
  if (!choice.chosen || choice.chosen->backup.content.size() < kImageHeaderSize) return false;
  HeaderBytes header;
  std::copy_n(choice.chosen->backup.content.begin(), kImageHeaderSize, header.begin());
  if (!workflow::IsProgrammedReaderHeader(header)) return false;
  dlg.m_recoveryHeader = header;
  dlg.m_recoveryBackup = choice.chosen->path;
  return true;
}

std::u16string BackupDirectoryText(const CRZ6104FwUpdateToolDlg& dlg) {
  return dlg.m_backupDirectory.u16string();
}

// No reader was found: when the search passed over a disk the user may not open, the message
// area says so and how to fix it. Otherwise it keeps what it showed, unless that was this text.
void ShowNoPermission(CRZ6104FwUpdateToolDlg& dlg) {
  const auto& skipped = dlg.m_deviceTable.skipped;
  const auto denied = std::ranges::find_if(skipped, &SkippedCandidate::PermissionDenied);
  if (denied != skipped.end()) {
    dlg.SetItemText(IDC_MESSAGE_EDIT,
                    FormatText(dlg.Ui().LoadString(IDS_NO_PERMISSION), denied->diskPath));
    dlg.m_noPermissionShown = true;
  } else if (dlg.m_noPermissionShown) {
    dlg.SetItemText(IDC_MESSAGE_EDIT, u"");
    dlg.m_noPermissionShown = false;
  }
}

}  // namespace

bool LoadFirmwareImage(CRZ6104FwUpdateToolDlg& dialog) {
  const auto savedHeader = dialog.m_fileImage.header;
  const auto resource =
      platform::Current().Resources().Find(kFirmwareResourceType, kFirmwareResourceId);
  if (resource && ParseImage(dialog.m_fileImage, *resource)) {
    dialog.m_fileFw1Version.clear();
    dialog.m_fileFw2Version.clear();
    if (!dialog.m_fileImage.fw1Data.empty()) {
      dialog.m_fileFw1Version = GetFirmwareVersion(1, dialog.m_fileImage);
    }
    if (!dialog.m_fileImage.fw2Data.empty()) {
      dialog.m_fileFw2Version = GetFirmwareVersion(2, dialog.m_fileImage);
    }
    return true;
  }
  dialog.m_fileImage.header = savedHeader;
  dialog.MessageBox(text::kLoadSnfFailed);
  return false;
}

void CRZ6104FwUpdateToolDlg::ScanForReader() {
  if (!LoadFirmwareImage(*this)) {
    // A rescan had set m_busy; nothing runs now, so later device changes must rescan again.
    m_busy.exchange(0);
    return;
  }
  m_busy.exchange(1);
  m_lastError.reset();
  // The scan only needs to know that a reader is present.
  if (!workflow::FindReader(m_deviceTable)) {
    m_lastError = ErrorCode::kNoDevice;
    m_statusText = text::kNoDevice;
    ShowItem(IDC_UPDATE, false);
    ShowNoPermission(*this);
    m_busy.exchange(0);
    UpdateData(false);
    return;
  }
  if (!BeginThread([this] { ReadReaderThread(this); })) {
    m_lastError = ErrorCode::kStartThread;
    m_busy.exchange(0);
    MessageBox(text::kCheckNotStarted, text::kErrorCaption, ui::MessageBoxIcon::kError);
    return;
  }
  UpdateData(false);  // m_busy stays 1: the worker clears it
}

void ReadReaderThread(CRZ6104FwUpdateToolDlg* dialog) {
  CRZ6104FwUpdateToolDlg& dlg = *dialog;
  dlg.m_busy.exchange(1);
  dlg.m_noPermissionShown = false;  // a reader was found: its verdict replaces the message
  dlg.m_progress.SetRange(0, workflow::kReadProgressHigh);
  dlg.m_progress.SetPos(0);
  dlg.ShowItem(IDC_PROGRESS, true);
  ProgressBar progress(dlg.m_progress);
  workflow::ReadResult result = workflow::ReadReader(dlg.m_deviceTable, progress);
  workflow::ReadBack& back = result.back;
  if (!back.content.empty()) dlg.m_deviceImage = std::move(back.image);
  dlg.m_deviceContent = std::move(back.content);
  dlg.m_deviceIdentity = std::move(back.reader);
  // Whatever follows, the verdict must judge this reader's versions, not an earlier reader's.
  if (result.error != ErrorCode::kNoDevice && result.error != ErrorCode::kEepromRead &&
      result.error != ErrorCode::kNewChip && result.error != ErrorCode::kReaderInUse) {
    dlg.m_deviceFw1Version = std::move(back.fw1Version);
    dlg.m_deviceFw2Version = std::move(back.fw2Version);
  }
  dlg.m_recoveryBackup.reset();
  if (!result.error) {
    dlg.SetTimer(IDT_SHOW_VERSION, kShowVersionDelayMs);
  } else if (result.error == ErrorCode::kNewChip && OfferRecovery(dlg)) {
    // A blank reader whose backup was found: the verdict offers the update that repairs it.
    dlg.m_progress.SetPos(workflow::kReadProgressHigh);
    dlg.SetTimer(IDT_SHOW_VERSION, kShowVersionDelayMs);
  } else {
    dlg.m_lastError = result.error;
    if (result.error == ErrorCode::kNewChip) {
      dlg.MessageBox(text::kChipIsNew, text::kReadDeviceNg, ui::MessageBoxIcon::kError);
      dlg.SetItemText(IDC_MESSAGE_EDIT,
                      FormatText(dlg.Ui().LoadString(IDS_NO_BACKUP), BackupDirectoryText(dlg)));
    } else if (result.error == ErrorCode::kReaderInUse) {
      dlg.MessageBox(text::kReaderInUse, text::kErrorCaption, ui::MessageBoxIcon::kError);
    }
    dlg.NextDlgCtl(IDCANCEL);
    if (result.error != ErrorCode::kNewChip && result.error != ErrorCode::kReaderInUse) {
      dlg.MessageBox(text::kPlugAgain, text::kDeviceNotFound, ui::MessageBoxIcon::kError);
    }
    dlg.ShowItem(IDC_PROGRESS, false);
  }
  dlg.m_busy.exchange(0);
}

void CRZ6104FwUpdateToolDlg::ShowVersionResult() {
  if (m_recoveryBackup) {
    m_statusText = text::kFwIsNotLatest;
    ShowItem(IDC_UPDATE, true);
    SetItemText(IDC_MESSAGE_EDIT,
                FormatText(Ui().LoadString(IDS_RECOVERY_OFFERED), m_recoveryBackup->u16string()));
    NextDlgCtl(IDC_UPDATE);
    UpdateData(false);
    ShowItem(IDC_PROGRESS, false);
    return;
  }
  workflow::ReadBack back;
  back.image = m_deviceImage;
  back.content = m_deviceContent;
  back.fw1Version = m_deviceFw1Version;
  back.fw2Version = m_deviceFw2Version;
  const workflow::Judgement judgement =
      workflow::Judge(back, {m_fileImage, m_fileFw1Version, m_fileFw2Version});
  switch (judgement.verdict) {
    case workflow::Verdict::kNotSupported:
      m_statusText.clear();
      SetItemText(IDC_MESSAGE_EDIT, Ui().LoadString(IDS_DEVICE_NOT_SUPPORTED));
      ShowItem(IDC_UPDATE, false);
      NextDlgCtl(IDCANCEL);
      UpdateData(false);
      return;  // the progress bar stays at 100
    case workflow::Verdict::kVersionError:
      MessageBox(text::kFwVersionError, text::kErrorCaption);
      ShowItem(IDC_PROGRESS, false);
      return;
    case workflow::Verdict::kNotLatest:
      m_statusText = text::kFwIsNotLatest;
      ShowItem(IDC_UPDATE, true);
      SetItemText(IDC_MESSAGE_EDIT, Ui().LoadString(IDS_UPDATE_NEEDED));
      NextDlgCtl(IDC_UPDATE);
      break;
    case workflow::Verdict::kLatest:
      m_statusText = text::kFwIsLatest;
      ShowItem(IDC_UPDATE, false);
      SetItemText(IDC_MESSAGE_EDIT, Ui().LoadString(IDS_ALREADY_LATEST));
      NextDlgCtl(IDCANCEL);
      break;
  }
  UpdateData(false);
  ShowItem(IDC_PROGRESS, false);
}

}  // namespace tr350
