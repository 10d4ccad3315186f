// The scan and the verdict, end to end on the headless window and the emulated machine.
#include <gtest/gtest.h>

#include "app/fixed_texts.h"
#include "app/resource.h"
#include "emulator/faults.h"
#include "tests/workflow/app_harness.h"

namespace tr350::test {
namespace {

using Progress = std::vector<std::int64_t>;

std::u16string U16(std::string_view ascii) {
  return std::u16string(ascii.begin(), ascii.end());
}

TEST(ScanTest, VerdictForEachKindOfMachine) {
  struct Case {
    std::string_view scenario;
    std::u16string_view status;
    bool updateShown;
    int message;  // 0: the message area stays empty
    Progress progress;
  };
  const Case cases[] = {
      {"flash-old", text::kFwIsNotLatest, true, IDS_UPDATE_NEEDED, {0, 10, 30, 55, 80, 100}},
      {"sector-old", text::kFwIsNotLatest, true, IDS_UPDATE_NEEDED, {0, 10, 30, 55, 80, 100}},
      {"flash-current", text::kFwIsLatest, false, IDS_ALREADY_LATEST, {0, 10, 30, 55, 80, 100}},
      {"no-usb", text::kNoDevice, false, 0, {}},
      {"no-reader", text::kNoDevice, false, 0, {}},
      {"foreign-disk", text::kNoDevice, false, 0, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.scenario);
    Harness h(c.scenario);
    h.Start();
    EXPECT_EQ(h.Text(IDC_STATUS_EDIT), c.status);
    EXPECT_FALSE(h.Visible(IDC_STATUS_EDIT));
    EXPECT_EQ(h.Visible(IDC_UPDATE), c.updateShown);
    EXPECT_EQ(h.Text(IDC_MESSAGE_EDIT), c.message != 0 ? h.ui->LoadString(c.message) : u"");
    EXPECT_TRUE(h.Visible(IDC_MESSAGE_EDIT));
    EXPECT_FALSE(h.Visible(IDC_PROGRESS));
    EXPECT_EQ(h.ProgressFrom(0), c.progress);
    EXPECT_TRUE(h.BoxTexts().empty());
    EXPECT_EQ(h.Busy(), 0);
    EXPECT_EQ(h.Main().focus, c.updateShown ? IDC_UPDATE : c.message != 0 ? IDCANCEL : IDC_UPDATE);
  }
}

// A reader whose node the user may not open: the message area names the node and the fix, in
// the window's language; everything else is as for no reader.
TEST(ScanTest, NodeWithoutPermissionIsExplainedInTheMessageArea) {
  for (const char* locale : {"en_US.UTF-8", "zh_TW.UTF-8", "ja_JP.UTF-8"}) {
    SCOPED_TRACE(locale);
    Harness h("no-permission", locale);
    h.Start();
    const std::u16string node = *h.Machine().DiskPathOf(h.Machine().DiskDevices().front());
    std::u16string expected = h.ui->LoadString(IDS_NO_PERMISSION);
    ASSERT_NE(expected.find(u"%s"), std::u16string::npos);
    expected.replace(expected.find(u"%s"), 2, node);
    EXPECT_EQ(h.Text(IDC_MESSAGE_EDIT), expected);
    EXPECT_NE(expected.find(u"70-tr350-fwupdate.rules"), std::u16string::npos);
    EXPECT_NE(expected.find(u"root"), std::u16string::npos);
    EXPECT_EQ(h.Text(IDC_STATUS_EDIT), text::kNoDevice);
    EXPECT_FALSE(h.Visible(IDC_UPDATE));
    EXPECT_TRUE(h.BoxTexts().empty());
  }
  Harness en("no-permission", "en_US.UTF-8");
  EXPECT_NE(en.ui->LoadString(IDS_NO_PERMISSION).find(u"permission denied"), std::u16string::npos);
}

TEST(ScanTest, NewerReaderIsLatestAndOneOlderFieldIsNot) {
  struct Case {
    std::string_view fw1;
    std::string_view fw2;
    bool latest;
  };
  const Case cases[] = {
      {"201801010000", "201801010000", true},   // newer: no downgrade is offered
      {"201801010000", "201705170240", false},  // FW2 alone older
      {"201703240217", "209901010000", false},  // FW1 alone older
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.fw1) + " " + std::string(c.fw2));
    Harness h;
    h.AddReader(FlashBacking(), ReaderContent(c.fw1, c.fw2));
    h.Start();
    EXPECT_EQ(h.Text(IDC_STATUS_EDIT), c.latest ? text::kFwIsLatest : text::kFwIsNotLatest);
    EXPECT_EQ(h.Visible(IDC_UPDATE), !c.latest);
    std::u16string fw1;
    std::u16string fw2;
    h.OnWindow([&] {
      fw1 = h.dialog->m_deviceFw1Version;
      fw2 = h.dialog->m_deviceFw2Version;
    });
    EXPECT_EQ(fw1, U16(c.fw1));
    EXPECT_EQ(fw2, U16(c.fw2));
  }
}

// Without FW2 the reader is not latest, and FW2 is not read.
TEST(ScanTest, ReaderWithoutFw2IsNotLatest) {
  Harness h;
  emulator::FirmwareContentSpec layout = ReaderContent(kImageFw1Version, kImageFw2Version);
  layout.fw2Pages = 0;
  layout.fw2Stamp.reset();
  h.AddReader(FlashBacking(), layout);
  h.Start();
  EXPECT_EQ(h.ProgressFrom(0), (Progress{0, 10, 30, 90, 100}));
  EXPECT_TRUE(h.Visible(IDC_UPDATE));
}

// A reader whose header announces no FW1 must not be judged by the versions of the reader read
// before it.
TEST(ScanTest, ReaderWithoutFw1IsNotJudgedByAnEarlierReadersVersions) {
  Harness h;
  h.AddReader(FlashBacking(), h.CurrentContent());
  h.Start();
  ASSERT_EQ(h.Text(IDC_STATUS_EDIT), text::kFwIsLatest);

  emulator::FirmwareContentSpec empty = ReaderContent(kImageFw1Version, kImageFw2Version);
  empty.fw1Pages = 0;
  empty.fw1Stamp.reset();
  const std::size_t mark = h.LogSize();
  // One quick swap: the removal arms the rescan, the arrival comes while it is pending.
  h.OnWindow([&] {
    h.Machine().Unplug(h.LastDevice());
    h.AddReader(FlashBacking(), empty);
  });
  ASSERT_TRUE(h.Settle());
  EXPECT_EQ(h.ProgressFrom(mark), (Progress{0, 10, 30, 100}));
  EXPECT_EQ(h.Text(IDC_STATUS_EDIT), text::kFwIsNotLatest);
  EXPECT_TRUE(h.Visible(IDC_UPDATE));
}

TEST(ScanTest, BlankChipShowsOnlyTheNewChipBox) {
  Harness h("blank-chip");
  h.Start();
  const auto modals = h.Modals();
  ASSERT_EQ(modals.size(), 1u);
  EXPECT_EQ(std::tie(modals[0].text, modals[0].title),
            std::tie(text::kChipIsNew, text::kReadDeviceNg));
  EXPECT_EQ(modals[0].icon, ui::MessageBoxIcon::kError);
  EXPECT_TRUE(modals[0].fromWorker);
  EXPECT_EQ(h.ProgressFrom(0), (Progress{0, 10, 30}));
  EXPECT_FALSE(h.Visible(IDC_PROGRESS) || h.Visible(IDC_UPDATE));
  EXPECT_EQ(h.Text(IDC_STATUS_EDIT), u"");
  EXPECT_EQ(h.Main().focus, IDCANCEL);
  EXPECT_EQ(h.LastError(), ErrorCode::kNewChip);
}

TEST(ScanTest, ForeignIdentityIsNotSupportedAndTheBarStaysAt100) {
  Harness h("not-supported");
  h.Start();
  EXPECT_EQ(h.Text(IDC_MESSAGE_EDIT), h.ui->LoadString(IDS_DEVICE_NOT_SUPPORTED));
  EXPECT_EQ(h.Text(IDC_STATUS_EDIT), u"");
  EXPECT_FALSE(h.Visible(IDC_UPDATE));
  EXPECT_TRUE(h.Visible(IDC_PROGRESS));
  EXPECT_EQ(h.Main().Control(IDC_PROGRESS)->position, 100);
  EXPECT_EQ(h.Main().focus, IDCANCEL);
}

TEST(ScanTest, ReadsAreTriedTenTimes) {
  for (const std::uint32_t failures : {9u, 10u}) {
    SCOPED_TRACE(failures);
    Harness h;
    auto reader = h.AddReader(FlashBacking(), ReaderContent("201601150930", "201601150931"));
    reader->InjectFault(
        {emulator::OnFlashOpcode(0x03), emulator::FaultAction::kCheckCondition, failures});
    h.Start();
    if (failures == 9) {
      EXPECT_EQ(h.Text(IDC_STATUS_EDIT), text::kFwIsNotLatest);
      EXPECT_TRUE(h.BoxTexts().empty());
      continue;
    }
    const auto modals = h.Modals();
    ASSERT_EQ(modals.size(), 1u);
    EXPECT_EQ(std::tie(modals[0].text, modals[0].title),
              std::tie(text::kPlugAgain, text::kDeviceNotFound));
    EXPECT_EQ(modals[0].icon, ui::MessageBoxIcon::kError);
    EXPECT_EQ(h.LastError(), ErrorCode::kEepromRead);
    EXPECT_EQ(h.ProgressFrom(0), (Progress{0, 10}));
    EXPECT_FALSE(h.Visible(IDC_PROGRESS));
    EXPECT_EQ(h.Main().focus, IDCANCEL);
    EXPECT_EQ(h.Busy(), 0);
  }
}

// ---- Rescans
// -------------------------------------------------------------------------------------

TEST(RescanTest, BurstOfDeviceChangesArmsOneRescan) {
  Harness h("flash-current");
  h.Start();
  const std::size_t mark = h.LogSize();
  using platform::DeviceChange;
  h.ui->DeliverDeviceChanges({DeviceChange::kArrival, DeviceChange::kRemovalComplete,
                              DeviceChange::kArrival, DeviceChange::kRemovalComplete});
  ASSERT_TRUE(h.Settle());
  EXPECT_EQ(h.CountChanges(mark, hl::ChangeKind::kDeviceChange, 0), 2u);
  EXPECT_EQ(h.CountChanges(mark, hl::ChangeKind::kTimerSet, IDT_RESCAN), 1u);
  EXPECT_EQ(h.ProgressFrom(mark), (Progress{0, 10, 30, 55, 80, 100}));
  EXPECT_EQ(h.Text(IDC_STATUS_EDIT), text::kFwIsLatest);
}

// As when an update started and ended between the device change and the timer.
TEST(RescanTest, RescanTimerAfterBusyReturnedToZeroStartsNoScan) {
  Harness h("flash-old");
  h.Start();
  auto reader = h.FirstReader();
  const std::uint64_t commands = reader->CommandCount();
  const std::size_t mark = h.LogSize();
  h.OnWindow([&] {
    ui::WindowEvents& events = *h.dialog;
    events.OnDeviceChange(platform::DeviceChange::kArrival);
    h.dialog->m_busy.exchange(0);
  });
  ASSERT_TRUE(h.Settle());
  EXPECT_EQ(h.CountChanges(mark, hl::ChangeKind::kTimerKilled, IDT_RESCAN), 1u);
  EXPECT_TRUE(h.ProgressFrom(mark).empty());
  EXPECT_EQ(reader->CommandCount(), commands);
  EXPECT_EQ(h.Busy(), 0);
}

// A scan whose image does not load, or whose worker does not start, must not leave m_busy at 1:
// later device changes would never rescan again.
TEST(RescanTest, FailedScansLeaveLaterRescansPossible) {
  Harness h("flash-old");
  h.Start();
  const std::vector<std::uint8_t> image = h.resources.EmbeddedImage();

  h.resources.SetImage(std::nullopt);
  h.ui->DeliverDeviceChanges({platform::DeviceChange::kArrival});
  ASSERT_TRUE(h.Settle());
  EXPECT_EQ(h.BoxTexts(), std::vector<std::u16string>{std::u16string(text::kLoadSnfFailed)});
  EXPECT_EQ(h.LastModal().title, ui::kDefaultMessageBoxCaption);
  EXPECT_EQ(h.Busy(), 0);

  h.resources.SetImage(image);
  h.ui->FailThreadStarts(1);
  h.ui->DeliverDeviceChanges({platform::DeviceChange::kArrival});
  ASSERT_TRUE(h.Settle());
  EXPECT_EQ(h.LastBoxText(), text::kCheckNotStarted);
  EXPECT_EQ(h.Busy(), 0);

  const std::size_t mark = h.LogSize();
  h.ui->DeliverDeviceChanges({platform::DeviceChange::kArrival});
  ASSERT_TRUE(h.Settle());
  EXPECT_EQ(h.ProgressFrom(mark), (Progress{0, 10, 30, 55, 80, 100}));
  EXPECT_EQ(h.Text(IDC_STATUS_EDIT), text::kFwIsNotLatest);
}

TEST(RescanTest, ExitDuringAReadBackWaitsForIt) {
  Harness h("flash-old");
  h.Start();
  const std::size_t mark = h.LogSize();
  // Exit is pressed while the worker reads FW1.
  h.Machine().AfterCommand(h.Machine().DiskDevices().front(), std::nullopt, 40,
                           [&h](auto&) { h.ui->Click(IDD_UPDATETOOL_DIALOG, IDCANCEL); });
  h.ui->DeliverDeviceChanges({platform::DeviceChange::kArrival});
  h.window.join();  // the window's thread returns only after the worker has ended
  const auto progress = h.ProgressFrom(mark);
  ASSERT_FALSE(progress.empty());
  EXPECT_EQ(progress.back(), 100);
  EXPECT_EQ(h.CountChanges(mark, hl::ChangeKind::kTimerFired, IDT_SHOW_VERSION), 0u);
  EXPECT_EQ(h.Busy(), 0);
}

}  // namespace
}  // namespace tr350::test
