// The scan (window's thread), the read-back worker and the verdict.
#include "workflow/scan.h"

#include <algorithm>
#include <vector>

#include "app/fixed_texts.h"
#include "image/decimal.h"
#include "image/version_stamp.h"
#include "platform/platform.h"
#include "res/resource_ids.h"
#include "transport/flash_commands.h"
#include "transport/vendor_commands.h"
#include "workflow/workflow_common.h"

namespace tr350 {
namespace {

// Progress of the read-back, range 0..100.
constexpr int kProgressStart = 0;
constexpr int kProgressTableBuilt = 10;
constexpr int kProgressHeaderRead = 30;
constexpr int kProgressFw1ReadFw2Next = 55;
constexpr int kProgressFw1ReadNoFw2 = 90;
constexpr int kProgressFw2Read = 80;
constexpr int kProgressDone = 100;

// Fills `out` with 0xFF once, then reads it from the first reader of the table, up to ten times.
bool ReadWithRetry(const DeviceTable& table, std::uint32_t address, std::span<std::uint8_t> out) {
  std::ranges::fill(out, 0xFF);
  for (int attempt = 0; attempt < kTransferAttempts; ++attempt) {
    const DeviceEntry reader = table.entries[0];
    const bool read = reader.accessMode == kAccessModeSectors ? ReadSectors(reader, address, out)
                                                              : ReadFlash(reader, address, out);
    if (read) return true;
  }
  return false;
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
  try {
    RebuildDeviceTable(m_deviceTable);
    ReleaseDeviceTable(m_deviceTable);  // the scan only needs to know that a reader is present
  } catch (const WorkflowError& error) {
    m_lastError = error.code;
    ReleaseDeviceTable(m_deviceTable);
    m_statusText = text::kNoDevice;
    ShowItem(IDC_UPDATE, false);
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
  dlg.m_progress.SetRange(0, 100);
  dlg.m_progress.SetPos(kProgressStart);
  dlg.ShowItem(IDC_PROGRESS, true);
  try {
    RebuildDeviceTable(dlg.m_deviceTable);
    dlg.m_progress.SetPos(kProgressTableBuilt);

    std::array<std::uint8_t, kImageHeaderSize> header;
    if (!ReadWithRetry(dlg.m_deviceTable, 0, header)) throw WorkflowError{ErrorCode::kEepromRead};
    dlg.m_deviceImage.header = header;
    std::uint32_t address = kImageHeaderSize;
    dlg.m_progress.SetPos(kProgressHeaderRead);

    if (HeaderWord(header, kHeaderSignatureOffset) != kHeaderSignature) {
      dlg.MessageBox(text::kChipIsNew, text::kReadDeviceNg, ui::MessageBoxIcon::kError);
      throw WorkflowError{ErrorCode::kNewChip};
    }

    // Whatever follows, the verdict must judge this reader's versions, not an earlier reader's.
    dlg.m_deviceFw1Version.clear();
    dlg.m_deviceFw2Version.clear();
    const std::uint32_t fw1Length = Fw1SizeOf(header);
    if (fw1Length != 0) {
      dlg.m_deviceImage.fw1Size = fw1Length;
      std::vector<std::uint8_t> fw1(fw1Length);
      if (!ReadWithRetry(dlg.m_deviceTable, address, fw1)) {
        throw WorkflowError{ErrorCode::kReadFw};
      }
      ReplaceFw1(dlg.m_deviceImage, fw1);
      address += fw1Length;

      const std::uint32_t fw2Length = Fw2SizeOf(header);
      dlg.m_progress.SetPos(fw2Length != 0 ? kProgressFw1ReadFw2Next : kProgressFw1ReadNoFw2);
      if (fw2Length != 0) {
        dlg.m_deviceImage.fw2Size = fw2Length;
        std::vector<std::uint8_t> fw2(fw2Length);
        if (!ReadWithRetry(dlg.m_deviceTable, address, fw2)) {
          throw WorkflowError{ErrorCode::kReadFw};
        }
        dlg.m_deviceImage.fw2Data = std::move(fw2);
        dlg.m_progress.SetPos(kProgressFw2Read);
      }
      dlg.m_deviceFw1Version = GetFirmwareVersion(1, dlg.m_deviceImage);
      if (fw2Length != 0) dlg.m_deviceFw2Version = GetFirmwareVersion(2, dlg.m_deviceImage);
    }

    ReleaseDeviceTable(dlg.m_deviceTable);
    dlg.m_progress.SetPos(kProgressDone);
    dlg.SetTimer(IDT_SHOW_VERSION, kShowVersionDelayMs);
  } catch (const WorkflowError& error) {
    // The read buffers went with the block that raised the error.
    dlg.m_lastError = error.code;
    dlg.NextDlgCtl(IDCANCEL);
    ReleaseDeviceTable(dlg.m_deviceTable);
    if (error.code != ErrorCode::kNewChip) {
      dlg.MessageBox(text::kPlugAgain, text::kDeviceNotFound, ui::MessageBoxIcon::kError);
    }
    dlg.ShowItem(IDC_PROGRESS, false);
  }
  dlg.m_busy.exchange(0);
}

void CRZ6104FwUpdateToolDlg::ShowVersionResult() {
  const HeaderView header(m_deviceImage.header);
  if (HeaderWord(header, kHeaderVendorIdOffset) != kSupportedVendorId ||
      HeaderWord(header, kHeaderProductIdOffset) != kSupportedProductId) {
    m_statusText.clear();
    SetItemText(IDC_MESSAGE_EDIT, Ui().LoadString(IDS_DEVICE_NOT_SUPPORTED));
    ShowItem(IDC_UPDATE, false);
    NextDlgCtl(IDCANCEL);
    UpdateData(false);
    return;  // the progress bar stays at 100
  }
  if (m_fileFw1Version.empty() || m_fileFw2Version.empty()) {
    MessageBox(text::kFwVersionError, text::kErrorCaption);
    ShowItem(IDC_PROGRESS, false);
    return;
  }
  const std::int64_t file1 = ParseDecimal64(m_fileFw1Version);
  const std::int64_t file2 = ParseDecimal64(m_fileFw2Version);
  const std::int64_t device1 = ParseDecimal64(m_deviceFw1Version);
  const std::int64_t device2 = ParseDecimal64(m_deviceFw2Version);
  // Equal or newer counts as up to date: the tool never offers a downgrade.
  const bool notLatest = m_deviceFw1Version.empty() || file1 > device1 ||
                         m_deviceFw2Version.empty() || file2 > device2;
  if (notLatest) {
    m_statusText = text::kFwIsNotLatest;
    ShowItem(IDC_UPDATE, true);
    SetItemText(IDC_MESSAGE_EDIT, Ui().LoadString(IDS_UPDATE_NEEDED));
    NextDlgCtl(IDC_UPDATE);
  } else {
    m_statusText = text::kFwIsLatest;
    ShowItem(IDC_UPDATE, false);
    SetItemText(IDC_MESSAGE_EDIT, Ui().LoadString(IDS_ALREADY_LATEST));
    NextDlgCtl(IDCANCEL);
  }
  UpdateData(false);
  ShowItem(IDC_PROGRESS, false);
}

}  // namespace tr350
