// The main dialog: the window with its two buttons, progress bar and message area, its timers and
// reactions to device changes, and the state that the scan and update workers share with it.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "app/resource.h"
#include "discovery/device_table.h"
#include "image/firmware_image.h"
#include "ui/ui.h"
#include "workflow/core.h"

namespace tr350 {

// Thread safety. The handlers, ScanForReader and ShowVersionResult run on the window's thread. At
// most one worker (ReadReaderThread or UpdateFirmwareThread) runs beside it and uses the members
// below directly, without a lock: m_busy keeps the two sides apart. It is 1 while a scan, a
// read-back or an update runs or a rescan is pending, and no one but the owner of that work
// touches m_deviceTable, m_deviceImage, m_fileImage, the version strings, m_recoveryHeader or
// m_lastError meanwhile. A worker hands its results to the window's thread through a timer or a
// sent operation, which orders its writes before the window's reads.
class CRZ6104FwUpdateToolDlg : public ui::Dialog {
 public:
  explicit CRZ6104FwUpdateToolDlg(ui::Backend& ui);
  ~CRZ6104FwUpdateToolDlg() override;

  // The scan and the verdict (workflow/scan.cpp); window's thread.
  void ScanForReader();
  void ShowVersionResult();

  ui::Icon m_hIcon;
  DeviceTable m_deviceTable;
  // Changed only by atomic exchange.
  std::atomic<std::int32_t> m_busy{0};
  FirmwareImage m_deviceImage;
  FirmwareImage m_fileImage;
  std::u16string m_statusText;
  std::u16string m_deviceFw1Version;
  std::u16string m_deviceFw2Version;
  std::u16string m_fileFw1Version;
  std::u16string m_fileFw2Version;
  ui::ProgressCtrl m_progress;
  ui::Edit m_statusEdit;

  // True from the Update click until the update thread has finished; the window does not close
  // meanwhile.
  std::atomic<bool> m_updateRunning{false};
  // A device arrived while the update ran: typically the reader itself, back from the restart
  // that ends the update while the result dialog is still open. It is acted upon once the update
  // has ended; otherwise the window would go on showing the verdict on the replaced firmware.
  std::atomic<bool> m_arrivalDuringUpdate{false};
  // The programmed header of a reader whose flash an update of this session began to change and
  // did not finish: an update of a reader that reads back blank writes this header again instead
  // of the blank one. Cleared when an update has verified.
  std::optional<std::array<std::uint8_t, kImageHeaderSize>> m_recoveryHeader;
  // Everything the last read-back read from the reader (saved as its backup before an update),
  // and who the reader was.
  std::vector<std::uint8_t> m_deviceContent;
  workflow::ReaderIdentity m_deviceIdentity;
  // Where backups of readers are kept (empty: none are made or looked for), and the pending
  // backup a blank reader's header was recovered from.
  std::filesystem::path m_backupDirectory;
  std::optional<std::filesystem::path> m_recoveryBackup;
  // The error code the last scan or update ended with; none after success.
  std::optional<ErrorCode> m_lastError;
  // The message area shows that a reader's node could not be opened (IDS_NO_PERMISSION); the next
  // scan that finds no such node clears it again.
  bool m_noPermissionShown = false;

 protected:
  void DoDataExchange(ui::DataExchange& dx) override;
  bool OnInitDialog() override;
  void OnOK() override;
  void OnCancel() override;

  // The message map.
  void OnCommand(int id) override;
  void OnSysCommand(std::uint32_t id, std::intptr_t parameter) override;
  void OnPaint() override;
  void OnTimer(std::uintptr_t id) override;
  bool OnDeviceChange(platform::DeviceChange change) override;
  void OnBnClickedUpdate();
  void OnBnClickedCancel();

 private:
  // True (and says so to the user) while an update writes: the window must not close then.
  bool RefuseCloseWhileUpdating();
};

// The window title for a version text: "TR350 Card Reader FW Update Tool_v.<version>_170522".
std::u16string MainWindowTitle(std::u16string_view version);

}  // namespace tr350
