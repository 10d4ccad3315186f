// The update worker: assembles the flash content in memory, writes it, reads it back, verifies it
// and restarts the reader.
#include "workflow/update.h"

#include <algorithm>
#include <vector>

#include "app/fixed_texts.h"
#include "app/message_box_dialog.h"
#include "transport/flash_commands.h"
#include "transport/reader_identification.h"
#include "transport/vendor_commands.h"
#include "workflow/workflow_common.h"

namespace tr350 {
namespace {

// Progress of the update, range 0..80.
constexpr int kProgressRangeHigh = 80;
constexpr int kProgressStart = 0;
constexpr int kProgressTableBuilt = 10;
constexpr int kProgressErased = 40;
constexpr int kProgressWritten = 50;
constexpr int kProgressReadBack = 60;
constexpr int kProgressVerified = 70;
constexpr int kProgressDone = 80;

constexpr std::uint8_t kStorageTypeSerialFlash = 1;
constexpr std::uint8_t kStorageTypeSectors = 2;
constexpr std::uint32_t kMaxPageCount = 0xFFFF;

void PutWordBigEndian(std::span<std::uint8_t> bytes, std::size_t offset, std::uint32_t value) {
  bytes[offset] = static_cast<std::uint8_t>(value >> 8);
  bytes[offset + 1] = static_cast<std::uint8_t>(value);
}

void PutWordLittleEndian(std::span<std::uint8_t> bytes, std::size_t offset, std::uint16_t value) {
  bytes[offset] = static_cast<std::uint8_t>(value);
  bytes[offset + 1] = static_cast<std::uint8_t>(value >> 8);
}

// The page count a section is announced with: its own, raised to the next even number.
std::uint32_t AnnouncedPages(std::uint32_t sectionBytes) {
  std::uint32_t pages = sectionBytes / static_cast<std::uint32_t>(kImagePageSize);
  if (pages % 2 != 0) ++pages;
  if (pages > kMaxPageCount) throw WorkflowError{ErrorCode::kPrepareImage};
  return pages;
}

// Steps 4 and 5: prepares m_deviceImage (header and configuration block) and returns the complete
// flash content. Raises before anything reaches the reader.
std::vector<std::uint8_t> AssembleFlashContent(CRZ6104FwUpdateToolDlg& dlg,
                                               const DeviceEntry& reader) {
  FirmwareImage& device = dlg.m_deviceImage;
  FirmwareImage& file = dlg.m_fileImage;

  // The reader keeps its own USB identity. A header that is not a programmed reader header (a
  // flash left blank by an interrupted update reads back so) is never written: the header kept
  // from that update is written again, and without one the update stops here.
  if (!IsProgrammedReaderHeader(device.header)) {
    if (!dlg.m_recoveryHeader) throw WorkflowError{ErrorCode::kDeviceHeader};
    device.header = *dlg.m_recoveryHeader;
  }
  const auto programmedHeader = device.header;

  SetConfigBlock(device, file.configBlock);

  std::uint16_t counter =
      static_cast<std::uint16_t>(HeaderWord(device.header, kHeaderUpdateCounterOffset) + 1);
  if (counter == 0 || counter == 0x00FF) ++counter;
  PutWordLittleEndian(device.header, kHeaderUpdateCounterOffset, counter);
  PutWordLittleEndian(device.configBlock, kConfigCounterOffset, counter);

  const std::uint32_t fw1Size = Fw1Size(file);
  const std::uint32_t fw2Size = Fw2Size(file);
  if (file.fw1Data.size() != fw1Size || file.fw2Data.size() != fw2Size) {
    throw WorkflowError{ErrorCode::kPrepareImage};
  }
  const std::uint32_t fw1Pages = AnnouncedPages(fw1Size);
  const std::uint32_t fw2Pages = AnnouncedPages(fw2Size);
  device.fw1Size = fw1Size;
  device.fw2Size = fw2Size;
  PutWordBigEndian(device.header, kHeaderFw1PagesOffset, fw1Pages);
  PutWordBigEndian(device.header, kHeaderFw2PagesOffset, fw2Pages);

  UpdateHeaderChecksum(device);
  PutWordBigEndian(device.configBlock, kConfigInfoWord2Offset, reader.infoWord2);
  if (!PutVersionField(device, 1, dlg.m_fileFw1Version) ||
      !PutVersionField(device, 2, dlg.m_fileFw2Version)) {
    throw WorkflowError{ErrorCode::kPrepareImage};
  }

  // Each section fills the size its header announces, so that FW2 and the configuration block
  // lie where a reader (and the next scan) look for them; the padding stays 0xFF.
  const std::size_t fw1Span = std::size_t{fw1Pages} * kImagePageSize;
  const std::size_t fw2Span = std::size_t{fw2Pages} * kImagePageSize;
  std::vector<std::uint8_t> content(kImageHeaderSize + fw1Span + fw2Span + kConfigBlockSize, 0xFF);
  std::ranges::copy(device.header, content.begin());
  std::ranges::copy(file.fw1Data, content.begin() + kImageHeaderSize);
  std::ranges::copy(file.fw2Data,
                    content.begin() + static_cast<std::ptrdiff_t>(kImageHeaderSize + fw1Span));
  CopyConfigBlockTo(device, std::span(content).subspan(kImageHeaderSize + fw1Span + fw2Span));

  // From here on the reader's flash may be left without its header: keep it for a retry.
  dlg.m_recoveryHeader = programmedHeader;
  return content;
}

template <typename Transfer>
bool WithRetry(Transfer transfer) {
  for (int attempt = 0; attempt < kTransferAttempts; ++attempt) {
    if (transfer()) return true;
  }
  return false;
}

}  // namespace

void UpdateFirmwareThread(CRZ6104FwUpdateToolDlg* dialog) {
  CRZ6104FwUpdateToolDlg& dlg = *dialog;
  dlg.m_busy.exchange(1);
  dlg.m_lastError.reset();
  dlg.m_progress.SetRange(0, kProgressRangeHigh);
  dlg.m_progress.SetPos(kProgressStart);
  dlg.ShowItem(IDC_PROGRESS, true);
  try {
    RebuildDeviceTable(dlg.m_deviceTable);
    dlg.m_progress.SetPos(kProgressTableBuilt);
    const DeviceEntry reader = dlg.m_deviceTable.entries[0];
    const bool sectors = reader.storageType == kStorageTypeSectors;
    const bool serialFlash =
        reader.storageType == kStorageTypeSerialFlash && reader.flashPart != nullptr;
    {
      const std::vector<std::uint8_t> content = AssembleFlashContent(dlg, reader);
      std::vector<std::uint8_t> readBack(content.size(), 0xFF);

      if (serialFlash) {
        SetFlashProtection(reader, false);  // a chip that keeps its protection fails the erase
        if (!EraseFlashChip(reader)) throw WorkflowError{ErrorCode::kEraseChip};
        dlg.m_progress.SetPos(kProgressErased);
      }
      const bool written = WithRetry([&] {
        return sectors ? WriteSectors(reader, 0, content) : ProgramFlash(reader, 0, content);
      });
      if (!written) throw WorkflowError{ErrorCode::kWriteConfig};
      dlg.m_progress.SetPos(kProgressWritten);

      const bool read = WithRetry([&] {
        return sectors ? ReadSectors(reader, 0, readBack) : ReadFlash(reader, 0, readBack);
      });
      if (!read) throw WorkflowError{ErrorCode::kReadConfig};
      dlg.m_progress.SetPos(kProgressReadBack);

      if (content != readBack) throw WorkflowError{ErrorCode::kVerifyConfig};
      dlg.m_recoveryHeader.reset();  // the reader holds a complete, verified image again
    }
    dlg.m_progress.SetPos(kProgressVerified);

    if (serialFlash) SetFlashProtection(reader, true);
    if (!ForceCpuReset(reader)) throw WorkflowError{ErrorCode::kCpuReset};
    ReleaseDeviceTable(dlg.m_deviceTable);
    dlg.m_progress.SetPos(kProgressDone);

    dlg.SetItemText(IDC_STATUS_EDIT, dlg.Ui().LoadString(IDS_FW_LATEST));
    CMessageBoxDlg result(dlg.Ui());
    result.DoModal();
    dlg.ShowItem(IDC_UPDATE, false);
  } catch (const WorkflowError& error) {
    // Both buffers went with the block that raised the error.
    dlg.m_lastError = error.code;
    ReleaseDeviceTable(dlg.m_deviceTable);
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
