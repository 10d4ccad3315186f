// The front end's check and update: the window's workflows reported on a terminal and as JSON,
// with their exit codes, on emulated machines.
#include "app/cli/workflow_commands.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <streambuf>

#include "emulator/faults.h"
#include "tests/workflow/app_harness.h"
#include "workflow/backup_store.h"

namespace tr350::test {
namespace {

using Outcome = TerminalMachine::Outcome;

// An emulated node path as the terminal prints it: ASCII, its backslashes as they are.
std::string ToUtf8Path(const std::u16string& path) {
  return std::string(path.begin(), path.end());
}

// The check (false) or the update (true), or any other command.
struct Front : TerminalMachine {
  using TerminalMachine::Run;
  using TerminalMachine::TerminalMachine;
  Outcome Run(bool update, std::vector<std::string_view> args) {
    return Run(update ? &cli::RunUpdate : &cli::RunCheck, std::move(args));
  }
};

TEST(WorkflowCommandsTest, CheckGivesTheVerdictAsExitCode) {
  const std::tuple<std::string_view, int, std::string_view> cases[] = {
      {"flash-old", cli::kExitNotLatest, "FW is not latest."},
      {"flash-current", cli::kExitUpToDate, "FW is latest."},
      {"no-usb", cli::kExitNoReader, "No device!"},
      {"not-supported", cli::kExitNotSupported, "Image:  FW1 201703240218, FW2 201705170241"},
      {"blank-chip", cli::kExitWorkflowFailed, "[Read device NG] The chip is new."},
  };
  for (const auto& [scenario, code, shown] : cases) {
    SCOPED_TRACE(scenario);
    const Outcome run = Front(scenario).Run(false, {"--progress=none"});
    EXPECT_EQ(run.code, code);
    EXPECT_TRUE(run.Shows(shown)) << run.out;
    EXPECT_EQ(run.err, "");
  }
  const Outcome usage = Front("flash-old").Run(false, {"--fast"});
  EXPECT_EQ(usage.code, cli::kExitWorkflowUsage);
  EXPECT_EQ(usage.out, "");
  EXPECT_NE(usage.err.find("unknown option '--fast'"), std::string::npos);
}

TEST(WorkflowCommandsTest, UpdateWritesTheReaderAndReportsEachStep) {
  Front front("flash-old");
  auto reader = front.Reader();
  const std::vector<std::uint8_t> header = reader->PeekFlash(0, 512);
  const Outcome run = front.Run(true, {"--progress=lines"});
  EXPECT_EQ(run.code, cli::kExitUpToDate);
  // The read-back (0..100) and then the update (0..80, shown as 0..100 %).
  EXPECT_TRUE(
      run.Shows("progress 0%\nprogress 10%\nprogress 30%\nprogress 55%\nprogress 80%\n"
                "progress 100%\n"))
      << run.out;
  EXPECT_TRUE(
      run.Shows("progress 0%\nprogress 12%\nprogress 50%\nprogress 62%\n"
                "progress 75%\nprogress 87%\nprogress 100%\n"))
      << run.out;
  EXPECT_TRUE(run.Shows("[TR350 Card Reader FW Update Tool] Update OK\n"));
  EXPECT_TRUE(run.Shows("Update: done\n"));
  const std::vector<std::uint8_t> expected =
      ExpectedFlash(header, front.resources.EmbeddedImage(), kImageFw1Version, kImageFw2Version);
  EXPECT_EQ(reader->PeekFlash(0, static_cast<std::uint32_t>(expected.size())), expected);
  // The backup named is the one kept: renamed as verified, not the pending file that was.
  const std::size_t at = run.out.find("Backup: ");
  ASSERT_NE(at, std::string::npos) << run.out;
  const std::string named = run.out.substr(at + 8, run.out.find('\n', at) - at - 8);
  EXPECT_TRUE(std::filesystem::exists(named)) << named;
  EXPECT_EQ(named.find("pending"), std::string::npos) << named;
}

// Output that cannot be written (as on a full disk) only sets the stream's state: the update is
// not cut short and the reader holds the new firmware.
TEST(WorkflowCommandsTest, AnUpdateGoesOnWhenItsOutputFails) {
  struct FullDisk final : std::streambuf {
    int_type overflow(int_type) override { return traits_type::eof(); }
  } full;
  Front front("flash-old");
  auto reader = front.Reader();
  const std::vector<std::uint8_t> header = reader->PeekFlash(0, 512);
  std::ostream out(&full);
  std::ostringstream err;
  const std::string_view args[] = {"--progress=lines"};
  EXPECT_EQ(cli::RunUpdate(args, *front.platform, out, err), cli::kExitUpToDate);
  EXPECT_TRUE(out.bad());
  const std::vector<std::uint8_t> expected =
      ExpectedFlash(header, front.resources.EmbeddedImage(), kImageFw1Version, kImageFw2Version);
  EXPECT_EQ(reader->PeekFlash(0, static_cast<std::uint32_t>(expected.size())), expected);
}

TEST(WorkflowCommandsTest, JsonReportsVerdictVersionsAndOutcome) {
  const Outcome check = Front("flash-old").Run(false, {"--json"});
  EXPECT_EQ(check.code, cli::kExitNotLatest);
  EXPECT_TRUE(check.Shows("\"verdict\": \"not-latest\", \"status\": \"FW is not latest.\""));
  EXPECT_TRUE(check.Shows("\"reader\": {\"fw1\": \"201601150930\", \"fw2\": \"201601150931\"}"));
  EXPECT_TRUE(check.Shows("\"image\": {\"fw1\": \"201703240218\", \"fw2\": \"201705170241\"}"));
  EXPECT_TRUE(
      check.Shows("\"outcome\": \"not-run\", \"error\": null, \"boxes\": [], "
                  "\"cause\": null, \"skipped\": []}\n"));
  EXPECT_EQ(std::ranges::count(check.out, '\n'), 1);

  const Outcome notNeeded = Front("flash-current").Run(true, {"--json"});
  EXPECT_EQ(notNeeded.code, cli::kExitUpToDate);
  EXPECT_TRUE(notNeeded.Shows("\"outcome\": \"not-needed\""));

  Front failing("flash-old");
  failing.Reader()->InjectFault(
      {emulator::OnFlashOpcode(0x02), emulator::FaultAction::kCheckCondition, 0});
  const Outcome failed = failing.Run(true, {"--json"});
  EXPECT_EQ(failed.code, cli::kExitWorkflowFailed);
  EXPECT_TRUE(
      failed.Shows("\"outcome\": \"failed\", \"error\": {\"code\": 514, \"meaning\": "
                   "\"Write configure error!!!\"}"));
  EXPECT_TRUE(failed.Shows("\"boxes\": [{\"caption\": \"Error\", \"text\": \"NG\"}]"));
}

// A page program refused at one address: the failed step, its address and the device's answer.
TEST(WorkflowCommandsTest, FailedUpdateNamesTheStepAndItsCause) {
  Front front("flash-old");
  front.Reader()->InjectFault({[](const emulator::CommandRecord& record) {
                                 return record.cdb.size() == 16 && record.cdb[8] == 0x02 &&
                                        record.cdb[9] == 0x00 && record.cdb[10] == 0x3A &&
                                        record.cdb[11] == 0x00;
                               },
                               emulator::FaultAction::kCheckCondition, 0});
  const std::string line = "program failed at 0x3A00: SCSI status 2, sense 0B/00/00";
  const Outcome text = front.Run(true, {"--progress=none"});
  EXPECT_EQ(text.code, cli::kExitWorkflowFailed);
  EXPECT_TRUE(text.Shows("Update: failed (Write configure error!!!)\nCause: " + line + "\n"))
      << text.out;
  const Outcome json = front.Run(true, {"--json"});
  EXPECT_TRUE(json.Shows("\"cause\": \"" + line + "\"")) << json.out;
}

// A reader whose node the user may not open: not "no reader", but the node and the fix.
TEST(WorkflowCommandsTest, NodeWithoutPermissionIsNamedWithItsFix) {
  Front front("no-permission");
  const std::string node = ToUtf8Path(
      *front.platform->GetMachine().DiskPathOf(front.platform->GetMachine().DiskDevices().front()));
  for (const bool update : {false, true}) {
    const Outcome text = front.Run(update, {"--progress=none"});
    EXPECT_EQ(text.code, cli::kExitNoPermission);
    EXPECT_TRUE(text.Shows("No reader found, but " + node +
                           " could not be opened: permission denied. Install the package's udev "
                           "rule (70-tr350-fwupdate.rules)"))
        << text.out;
    EXPECT_TRUE(text.Shows("or run the tool as root.")) << text.out;
  }
  const Outcome json = front.Run(false, {"--json"});
  EXPECT_EQ(json.code, cli::kExitNoPermission);
  EXPECT_TRUE(json.Shows("\"verdict\": \"no-permission\"")) << json.out;
  EXPECT_TRUE(
      json.Shows("\"reason\": \"not-opened\", \"text\": \"could not be opened: open: "
                 "Permission denied (errno 13)\""))
      << json.out;
  // The same machine whose node the user may open has its reader found.
  EXPECT_EQ(Front("flash-old").Run(false, {"--progress=none"}).code, cli::kExitNotLatest);
}

TEST(WorkflowCommandsTest, FailedUpdateAndProgressBarOnATerminal) {
  Front front("flash-old");
  front.Reader()->InjectFault(
      {emulator::OnOpcode(0xE2), emulator::FaultAction::kCheckCondition, 1});
  const Outcome run = front.Run(true, {"--progress=bar"});
  EXPECT_EQ(run.code, cli::kExitWorkflowFailed);
  EXPECT_TRUE(run.Shows("\r[########################################] 100%\n")) << run.out;
  EXPECT_TRUE(run.Shows("[Error] NG\n"));
  EXPECT_TRUE(run.Shows("Update: failed (Force CPU reset error!!!)\n"));
}

// An update cut off after the erase leaves a blank reader; the next run (a new process: nothing
// kept in memory) finds the pending backup, rebuilds the header from it and repairs the reader.
TEST(WorkflowCommandsTest, TheNextRunRecoversAReaderLeftBlank) {
  Front front("flash-old");
  auto reader = front.Reader();
  const std::vector<std::uint8_t> header = reader->PeekFlash(0, 512);
  reader->InjectFault({emulator::OnFlashOpcode(0x02), emulator::FaultAction::kNotDelivered, 0});
  ASSERT_EQ(front.Run(true, {"--json"}).code, cli::kExitWorkflowFailed);
  ASSERT_EQ(reader->PeekFlash(0, 2), (std::vector<std::uint8_t>{0xFF, 0xFF}));
  reader->ClearFaults();

  const Outcome check = front.Run(false, {"--json"});
  EXPECT_EQ(check.code, cli::kExitNotLatest);
  std::string statePath = front.state.string();  // as JSON spells it: a Windows path's \ doubled
  for (std::size_t at = 0; (at = statePath.find('\\', at)) != std::string::npos; at += 2) {
    statePath.insert(at, 1, '\\');
  }
  EXPECT_TRUE(check.Shows("\"backupUsed\": \"" + statePath)) << check.out;
  const Outcome again = front.Run(true, {"--progress=none"});
  EXPECT_EQ(again.code, cli::kExitUpToDate) << again.out;
  EXPECT_TRUE(again.Shows("backup for this USB port")) << again.out;
  EXPECT_TRUE(again.Shows("Reader after restart: FW1 201703240218, FW2 201705170241"));
  const std::vector<std::uint8_t> expected =
      ExpectedFlash(header, front.resources.EmbeddedImage(), kImageFw1Version, kImageFw2Version);
  EXPECT_EQ(reader->PeekFlash(0, static_cast<std::uint32_t>(expected.size())), expected);
  EXPECT_TRUE(BackupStore(front.state / "tr350-fwupdate" / "emulated").Pending().backups.empty());
}

// The same versions but one byte lost in FW2: not latest, with the address; an update repairs it.
TEST(WorkflowCommandsTest, AReaderWithItsStampsButADamagedSectionIsNotLatest) {
  Front front("flash-current");
  auto reader = front.Reader();
  ASSERT_EQ(front.Run(false, {"--json"}).code, cli::kExitUpToDate);
  const std::uint32_t address = 512 + 100 * 256 + 4000;
  const std::uint8_t flipped = static_cast<std::uint8_t>(reader->PeekFlash(address, 1)[0] ^ 0x10);
  reader->PresetFlash(address, std::vector<std::uint8_t>{flipped});
  const Outcome check = front.Run(false, {"--json"});
  EXPECT_EQ(check.code, cli::kExitNotLatest);
  EXPECT_TRUE(check.Shows("\"damaged\": true, \"firstDifference\": " + std::to_string(address)))
      << check.out;
  EXPECT_EQ(front.Run(true, {"--json"}).code, cli::kExitUpToDate);
  EXPECT_EQ(front.Run(false, {"--json"}).code, cli::kExitUpToDate);
}

TEST(WorkflowCommandsTest, BackupVerifyAndRestore) {
  Front front("flash-old");
  auto reader = front.Reader();
  const std::vector<std::uint8_t> original = reader->PeekFlash(0, 60928);
  const std::string file = (front.state / "reader.tr350bak").string();
  ASSERT_EQ(front.Run(&cli::RunBackup, {file, "--progress=none"}).code, cli::kExitUpToDate);
  EXPECT_EQ(front.Run(&cli::RunBackup, {file}).code, cli::kExitWorkflowUsage);  // never overwritten
  EXPECT_EQ(front.Run(&cli::RunVerify, {file, "--progress=none"}).code, cli::kExitUpToDate);
  ASSERT_EQ(front.Run(true, {"--progress=none"}).code, cli::kExitUpToDate);
  const Outcome differs = front.Run(&cli::RunVerify, {file, "--json"});
  EXPECT_EQ(differs.code, cli::kExitNotLatest);
  EXPECT_TRUE(differs.Shows("\"matches\": false, \"difference\": 11")) << differs.out;

  // A damaged file is refused before the reader is touched.
  std::string text;
  {
    std::ifstream in(file);
    text.assign(std::istreambuf_iterator<char>(in), {});
  }
  const std::string damagedFile = (front.state / "damaged.tr350bak").string();
  std::string damaged = text;
  damaged[damaged.size() - 3] = damaged[damaged.size() - 3] == '0' ? '1' : '0';
  std::ofstream(damagedFile) << damaged;
  const std::vector<std::uint8_t> updated = reader->PeekFlash(0, 60928);
  const Outcome refused = front.Run(&cli::RunRestore, {damagedFile});
  EXPECT_EQ(refused.code, cli::kExitWorkflowFailed);
  EXPECT_NE(refused.err.find("damaged.tr350bak"), std::string::npos) << refused.err;
  EXPECT_EQ(reader->PeekFlash(0, 60928), updated);

  ASSERT_EQ(front.Run(&cli::RunRestore, {file, "--progress=none"}).code, cli::kExitUpToDate);
  EXPECT_EQ(reader->PeekFlash(0, 60928), original);
  EXPECT_EQ(front.Run(&cli::RunVerify, {file, "--progress=none"}).code, cli::kExitUpToDate);
}

}  // namespace
}  // namespace tr350::test
