// The update, end to end: what the window shows and, byte for byte, what the reader then holds.
#include <gtest/gtest.h>

#include "app/fixed_texts.h"
#include "app/resource.h"
#include "emulator/faults.h"
#include "tests/workflow/app_harness.h"
#include "workflow/backup_store.h"

namespace tr350::test {
namespace {

using Progress = std::vector<std::int64_t>;
constexpr std::size_t kFlashBytes = 512 + (kImageFw1Pages + kImageFw2Pages) * 256 + 512;
constexpr std::string_view kOld1 = "201601150930";
constexpr std::string_view kOld2 = "201601150931";

constexpr std::uint8_t kFlashPageProgram = 0x02;
constexpr std::uint8_t kFlashRead = 0x03;
constexpr std::uint8_t kFlashWriteStatus = 0x01;

std::size_t Erases(const emulator::Reader& reader) {
  return CountFlashOpcode(reader, 0xC7) + CountFlashOpcode(reader, 0x60);
}

// Clicks Update and waits until the update and whatever it set off have settled.
void Update(Harness& h) {
  h.ui->Click(IDD_UPDATETOOL_DIALOG, IDC_UPDATE);
  ASSERT_TRUE(h.Settle());
}

void ExpectFailureShown(Harness& h, ErrorCode code) {
  EXPECT_EQ(h.LastBoxText(), text::kUpdateNg);
  EXPECT_EQ(h.LastModal().title, ui::kDefaultMessageBoxCaption);
  EXPECT_EQ(h.Text(IDC_STATUS_EDIT), text::kStatusError);
  EXPECT_TRUE(h.Visible(IDC_UPDATE));
  EXPECT_TRUE(h.Enabled(IDC_UPDATE));
  EXPECT_FALSE(h.Visible(IDC_PROGRESS));
  EXPECT_EQ(h.Main().focus, IDCANCEL);
  EXPECT_EQ(h.LastError(), code);
  EXPECT_EQ(h.Busy(), 0);
}

TEST(UpdateTest, SerialFlashReaderGetsTheImageUnderItsOwnHeader) {
  Harness h;
  auto reader = h.AddReader(FlashBacking(), ReaderContent(kOld1, kOld2));
  h.Start();
  ASSERT_EQ(h.Text(IDC_STATUS_EDIT), text::kFwIsNotLatest);
  const std::vector<std::uint8_t> header = reader->PeekFlash(0, 512);
  const std::size_t mark = h.LogSize();
  Update(h);

  EXPECT_EQ(h.ProgressFrom(mark), (Progress{0, 10, 40, 50, 60, 70, 80}));
  const auto modals = h.Modals();
  ASSERT_EQ(modals.size(), 1u);
  ASSERT_EQ(modals[0].templateId, IDD_MESSAGEBOX);
  EXPECT_EQ(modals[0].Control(IDC_RESULT_TEXT)->text, u"Update OK");
  EXPECT_TRUE(modals[0].fromWorker);
  EXPECT_EQ(h.Text(IDC_STATUS_EDIT), h.ui->LoadString(IDS_FW_LATEST));
  EXPECT_FALSE(h.Visible(IDC_UPDATE) || h.Visible(IDC_PROGRESS));
  EXPECT_TRUE(h.Enabled(IDC_UPDATE));
  EXPECT_EQ(h.Main().focus, IDCANCEL);
  EXPECT_FALSE(h.LastError());

  const std::vector<std::uint8_t> expected = h.Updated(header);
  ASSERT_EQ(expected.size(), kFlashBytes);
  EXPECT_EQ(reader->PeekFlash(0, kFlashBytes), expected);
  EXPECT_EQ(Erases(*reader), 1u);
  EXPECT_EQ(CountFlashOpcode(*reader, kFlashWriteStatus), 2u);  // unprotect, protect
  EXPECT_EQ(CountOpcode(*reader, 0xE2), 1u);

  // The reader's restart was seen while the update ran and started no rescan; its return does.
  EXPECT_EQ(h.Text(IDC_STATUS_EDIT), h.ui->LoadString(IDS_FW_LATEST));
  h.FinishRestarts();
  ASSERT_TRUE(h.Settle());
  EXPECT_EQ(h.Text(IDC_STATUS_EDIT), text::kFwIsLatest);
  EXPECT_FALSE(h.Visible(IDC_UPDATE));
}

// Changes while the update runs start no rescan then; once it has ended one rescan shows the
// reader's new firmware instead of leaving the verdict on the old one in the window.
TEST(UpdateTest, DeviceChangesWhileTheResultIsOpenRescanOnceTheUpdateEnds) {
  Harness h("flash-old");
  h.HoldOpen(u"Update OK");
  h.Start();
  const std::size_t mark = h.LogSize();
  h.ui->Click(IDD_UPDATETOOL_DIALOG, IDC_UPDATE);
  ASSERT_TRUE(h.ui->WaitUntil(
      [](const hl::Snapshot& s) { return s.Dialog(IDD_MESSAGEBOX) != nullptr && s.loopWaiting; }));
  h.FinishRestarts();  // the reader comes back while the result is shown
  // Clicks on the main window are dropped while the result dialog is open.
  h.ui->Click(IDD_UPDATETOOL_DIALOG, IDCANCEL);
  h.ui->Press(h.ui->Snap().Dialog(IDD_MESSAGEBOX)->serial, IDOK);
  ASSERT_TRUE(h.Settle());
  const auto log = h.ui->Log();
  std::size_t rescansBeforeTheProgressHid = 0;
  bool progressHidden = false;
  for (std::size_t i = mark; i < log.size(); ++i) {
    rescansBeforeTheProgressHid +=
        !progressHidden && log[i].kind == hl::ChangeKind::kTimerSet && log[i].value == IDT_RESCAN;
    progressHidden = progressHidden || (log[i].kind == hl::ChangeKind::kShown &&
                                        log[i].control == IDC_PROGRESS && log[i].value == 0);
  }
  EXPECT_GE(h.CountChanges(mark, hl::ChangeKind::kDeviceChange, 0), 2u);
  EXPECT_EQ(h.CountChanges(mark, hl::ChangeKind::kTimerSet, IDT_RESCAN), 1u);
  EXPECT_EQ(rescansBeforeTheProgressHid, 0u);  // none while the update ran
  EXPECT_EQ(h.CountChanges(mark, hl::ChangeKind::kInputDropped, IDCANCEL), 1u);
  EXPECT_EQ(h.Text(IDC_STATUS_EDIT), text::kFwIsLatest);
  EXPECT_EQ(h.Text(IDC_MESSAGE_EDIT), h.ui->LoadString(IDS_ALREADY_LATEST));
  EXPECT_FALSE(h.Visible(IDC_UPDATE));
}

TEST(UpdateTest, UpdateCounterStepsOverZeroAnd0xFF) {
  for (const auto& [counter, raised] :
       {std::pair<std::uint16_t, int>{0xFFFF, 0x0001}, {0x00FE, 0x0100}, {0x0123, 0x0124}}) {
    SCOPED_TRACE(counter);
    Harness h;
    emulator::FirmwareContentSpec layout = ReaderContent(kOld1, kOld2);
    layout.updateCounter = counter;
    auto reader = h.AddReader(FlashBacking(), layout);
    h.Start();
    const std::vector<std::uint8_t> header = reader->PeekFlash(0, 512);
    Update(h);
    const std::vector<std::uint8_t> flash = reader->PeekFlash(0, kFlashBytes);
    EXPECT_EQ(flash[14] | flash[15] << 8, raised);  // not only as the expected contents compute it
    EXPECT_EQ(flash, h.Updated(header));
  }
}

TEST(UpdateTest, SectorReaderIsWrittenWithoutEraseOrProtection) {
  Harness h("sector-old");
  h.Start();
  auto reader = h.FirstReader();
  const std::vector<std::uint8_t> header = StorageOf(*reader, 512);
  const std::size_t mark = h.LogSize();
  Update(h);
  EXPECT_EQ(h.ProgressFrom(mark), (Progress{0, 10, 50, 60, 70, 80}));
  EXPECT_EQ(CountOpcode(*reader, 0xE7) + CountOpcode(*reader, 0xE8), 0u);
  EXPECT_EQ(StorageOf(*reader, kFlashBytes), h.Updated(header));
  EXPECT_EQ(h.LastModal().templateId, IDD_MESSAGEBOX);
}

TEST(UpdateTest, WritesAreTriedTenTimes) {
  for (const std::uint32_t failures : {9u, 10u}) {
    SCOPED_TRACE(failures);
    Harness h;
    auto reader = h.AddReader(FlashBacking(), ReaderContent(kOld1, kOld2));
    h.Start();
    reader->InjectFault({emulator::OnFlashOpcode(kFlashPageProgram),
                         emulator::FaultAction::kCheckCondition, failures});
    const std::size_t mark = h.LogSize();
    Update(h);
    if (failures == 9) {
      EXPECT_EQ(h.LastModal().templateId, IDD_MESSAGEBOX);
      EXPECT_FALSE(h.LastError());
      continue;
    }
    EXPECT_EQ(h.ProgressFrom(mark), (Progress{0, 10, 40}));
    ExpectFailureShown(h, ErrorCode::kWriteConfig);
  }
}

TEST(UpdateTest, OneDifferingByteFailsTheVerifyAndUpdateCanBeRetried) {
  Harness h("flash-old");
  h.Start();
  auto reader = h.FirstReader();
  // The fourth flash read of the update is the first piece of the read-back (before it: the
  // header's two pieces, read again before anything is written, and the erase's blank check).
  reader->InjectReadCorruption({[reads = 0, isRead = emulator::OnFlashOpcode(kFlashRead)](
                                    const emulator::CommandRecord& record) mutable {
                                  return isRead(record) && ++reads == 4;
                                },
                                77, 0x10, 1});
  const std::size_t mark = h.LogSize();
  Update(h);
  EXPECT_EQ(h.ProgressFrom(mark), (Progress{0, 10, 40, 50, 60}));
  ExpectFailureShown(h, ErrorCode::kVerifyConfig);
  EXPECT_EQ(CountOpcode(*reader, 0xE2), 0u);

  const std::vector<std::uint8_t> header = reader->PeekFlash(0, 512);  // as the failed update wrote
  Update(h);
  EXPECT_EQ(h.LastModal().templateId, IDD_MESSAGEBOX);
  EXPECT_FALSE(h.Visible(IDC_UPDATE));
  EXPECT_EQ(reader->PeekFlash(0, kFlashBytes), h.Updated(header));
}

// Failing device steps are the fault matrix's; this one fails before any command.
TEST(UpdateTest, MissingReaderFailsTheUpdateVisibly) {
  Harness h("flash-old");
  h.Start();
  // The reader is gone without a device change that would have rescanned.
  auto& devices = h.simulated->GetDevices();
  devices.FailSetOpens(platform::InterfaceClass::kUsbDevice,
                       devices.SetOpenCount(platform::InterfaceClass::kUsbDevice), 0);
  const std::size_t mark = h.LogSize();
  Update(h);
  EXPECT_EQ(h.ProgressFrom(mark), (Progress{0}));
  ExpectFailureShown(h, ErrorCode::kNoDevice);
}

TEST(UpdateTest, OnlyTheFirstOfTwoReadersIsReadAndUpdated) {
  Harness h("two-readers");
  h.Start();
  const auto disks = h.Machine().DiskDevices();
  ASSERT_EQ(disks.size(), 2u);
  auto first = h.Machine().ReaderOf(disks[0]);
  auto second = h.Machine().ReaderOf(disks[1]);
  ASSERT_TRUE(first->HasFlash() && second->HasSectors());
  EXPECT_EQ(h.Text(IDC_STATUS_EDIT), text::kFwIsNotLatest);
  EXPECT_GT(CountFlashOpcode(*first, kFlashRead), 0u);
  EXPECT_EQ(CountOpcode(*second, 0xE5), 0u);
  const std::vector<std::uint8_t> header = StorageOf(*first, 512);
  const std::vector<std::uint8_t> untouched = StorageOf(*second, kFlashBytes);
  Update(h);
  EXPECT_EQ(StorageOf(*first, kFlashBytes), h.Updated(header));
  EXPECT_EQ(StorageOf(*second, kFlashBytes), untouched);
}

// ---- Guards against two workers, half-written readers and content that does not fit ----------

// While a rescan is pending the click would start a second worker on the same table and reader.
TEST(UpdateTest, ClickWhileARescanIsPendingIsIgnored) {
  Harness h("flash-old");
  h.Start();
  auto reader = h.FirstReader();
  h.OnWindow([&] {
    ui::WindowEvents& events = *h.dialog;
    events.OnDeviceChange(platform::DeviceChange::kArrival);
    events.OnCommand(IDC_UPDATE);
  });
  ASSERT_TRUE(h.Settle());
  EXPECT_EQ(Erases(*reader), 0u);
  EXPECT_EQ(CountFlashOpcode(*reader, kFlashPageProgram), 0u);
  EXPECT_TRUE(h.Visible(IDC_UPDATE) && h.Enabled(IDC_UPDATE));
  EXPECT_EQ(h.Text(IDC_STATUS_EDIT), text::kFwIsNotLatest);
}

TEST(UpdateTest, ExitIsRefusedWhileTheUpdateWrites) {
  Harness h("flash-old");
  h.Start();
  auto reader = h.FirstReader();
  // Exit is pressed in the middle of the write; the box is answered while the worker waits here.
  h.Machine().AfterCommand(h.Machine().DiskDevices().front(), 0xE7, 100, [&h](auto&) {
    h.ui->Click(IDD_UPDATETOOL_DIALOG, IDCANCEL);
    h.ui->WaitUntil([](const hl::Snapshot& s) { return s.queuedEvents == 0 && s.loopWaiting; });
  });
  Update(h);
  const auto boxes = h.Modals();
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(std::tie(boxes[0].text, boxes[0].title),
            std::tie(text::kUpdateRunning, text::kToolName));
  EXPECT_EQ(boxes[0].icon, ui::MessageBoxIcon::kWarning);
  EXPECT_FALSE(boxes[0].fromWorker);
  EXPECT_EQ(boxes[1].templateId, IDD_MESSAGEBOX);
  EXPECT_NE(h.ui->Snap().Dialog(IDD_UPDATETOOL_DIALOG), nullptr);
  EXPECT_EQ(reader->PeekFlash(0, 2), (std::vector<std::uint8_t>{0x7E, 0x2A}));
  h.Close();  // once the update has ended, Exit closes
}

// A rescan after an update that failed past the erase reads a blank header. Update must never
// write such a header; it writes the reader's own header, kept from the failed update in this
// window and saved in the reader's backup for any later run.
TEST(UpdateTest, ReaderLeftBlankByAFailedUpdateIsRecoveredWithItsOwnHeader) {
  for (const bool newRun : {false, true}) {
    SCOPED_TRACE(newRun ? "a new run finds the backup" : "the same window kept the header");
    Harness h;
    auto reader = h.AddReader(FlashBacking(), ReaderContent(kOld1, kOld2));
    h.Start();
    const std::vector<std::uint8_t> before = reader->PeekFlash(0, kFlashBytes);
    const std::vector<std::uint8_t> header(before.begin(), before.begin() + 512);
    reader->InjectFault(
        {emulator::OnFlashOpcode(kFlashPageProgram), emulator::FaultAction::kCheckCondition, 10});
    Update(h);
    ASSERT_EQ(h.LastError(), ErrorCode::kWriteConfig);
    ASSERT_EQ(reader->PeekFlash(0, 512), std::vector<std::uint8_t>(512, 0xFF));
    const PendingBackups pending = BackupStore(h.backups).Pending();
    ASSERT_EQ(pending.backups.size(), 1u);
    const std::vector<std::uint8_t>& saved = pending.backups[0].backup.content;
    EXPECT_TRUE(std::equal(saved.begin(), saved.end(), before.begin()));
    if (newRun) h.OnWindow([&] { h.dialog->m_recoveryHeader.reset(); });

    // The user replugs the reader quickly: one rescan, which finds the chip blank.
    h.OnWindow([&] {
      h.Machine().Unplug(h.LastDevice());
      h.Machine().Plug(h.LastDevice());
    });
    ASSERT_TRUE(h.Settle());
    ASSERT_TRUE(h.Visible(IDC_UPDATE));
    EXPECT_EQ(h.Text(IDC_STATUS_EDIT), text::kFwIsNotLatest);
    EXPECT_NE(h.Text(IDC_MESSAGE_EDIT).find(pending.backups[0].path.u16string()),
              std::u16string::npos);

    Update(h);
    EXPECT_EQ(h.LastModal().templateId, IDD_MESSAGEBOX);
    EXPECT_EQ(reader->PeekFlash(0, kFlashBytes), h.Updated(header));
    EXPECT_TRUE(BackupStore(h.backups).Pending().backups.empty());
  }
}

TEST(UpdateTest, BlankReaderWithoutAKeptHeaderIsNotWritten) {
  Harness h;
  h.AddReader(FlashBacking(), ReaderContent(kOld1, kOld2));
  h.Start();
  ASSERT_TRUE(h.Visible(IDC_UPDATE));
  std::shared_ptr<emulator::Reader> blank;
  // The reader is swapped for a blank one within one rescan; Update stays offered.
  h.OnWindow([&] {
    h.Machine().Unplug(h.LastDevice());
    blank = h.AddReader(FlashBacking(), emulator::BlankFirmwareContent(kFlashBytes));
  });
  ASSERT_TRUE(h.Settle());
  ASSERT_EQ(h.LastBoxText(), text::kChipIsNew);
  Update(h);
  ExpectFailureShown(h, ErrorCode::kDeviceHeader);
  EXPECT_EQ(Erases(*blank), 0u);
  EXPECT_EQ(CountFlashOpcode(*blank, kFlashPageProgram), 0u);
  EXPECT_EQ(blank->PeekFlash(0, kFlashBytes), std::vector<std::uint8_t>(kFlashBytes, 0xFF));
}

TEST(UpdateTest, VersionFieldThatDoesNotFitFailsBeforeAnythingIsWritten) {
  Harness h("flash-old");
  h.Start();
  auto reader = h.FirstReader();
  const std::vector<std::uint8_t> before = reader->PeekFlash(0, kFlashBytes);
  h.OnWindow([&] { h.dialog->m_fileFw2Version = std::u16string(1100, u'7'); });
  Update(h);
  ExpectFailureShown(h, ErrorCode::kPrepareImage);
  EXPECT_EQ(Erases(*reader), 0u);
  EXPECT_EQ(reader->PeekFlash(0, kFlashBytes), before);
}

// The header announces each page count raised to an even number; each section must fill that
// much, or FW2 lies where no one looks for it (and sector storage could not take the write).
TEST(UpdateTest, OddPageCountsArePaddedToTheAnnouncedSize) {
  for (const bool sectors : {false, true}) {
    SCOPED_TRACE(sectors ? "sectors" : "flash");
    Harness h;
    emulator::FirmwareContentSpec odd = ReaderContent(kImageFw1Version, kImageFw2Version);
    odd.fw1Pages = 101;
    odd.fw2Pages = 141;
    odd.codeSeed = 7;
    const std::vector<std::uint8_t> image = emulator::BuildFirmwareContent(odd);
    h.resources.SetImage(image);
    auto reader =
        h.AddReader(sectors ? SectorBacking() : FlashBacking(), ReaderContent(kOld1, kOld2));
    h.Start();
    const std::vector<std::uint8_t> header = StorageOf(*reader, 512);
    Update(h);
    ASSERT_FALSE(h.LastError());
    const std::vector<std::uint8_t> expected =
        ExpectedFlash(header, image, kImageFw1Version, kImageFw2Version);
    ASSERT_EQ(expected.size(), 512u + (102u + 142u) * 256u + 512u);
    EXPECT_EQ(StorageOf(*reader, expected.size()), expected);
    h.FinishRestarts();
    ASSERT_TRUE(h.Settle());
    EXPECT_EQ(h.Text(IDC_STATUS_EDIT), text::kFwIsLatest);
  }
}

TEST(UpdateTest, ThreadThatCannotStartFailsTheUpdateVisibly) {
  Harness h("flash-old");
  h.Start();
  h.ui->FailThreadStarts(1);
  Update(h);
  ExpectFailureShown(h, ErrorCode::kStartThread);
  EXPECT_FALSE(h.dialog->m_updateRunning.load());
}

}  // namespace
}  // namespace tr350::test
