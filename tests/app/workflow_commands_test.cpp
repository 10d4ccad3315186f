// The front end's check and update: the window's workflows reported on a terminal and as JSON,
// with their exit codes, on emulated machines.
#include "app/cli/workflow_commands.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "emulator/faults.h"
#include "tests/workflow/app_harness.h"

namespace tr350::test {
namespace {

struct Outcome {
  int code = -1;
  std::string out;
  std::string err;
  bool Shows(std::string_view part) const { return out.find(part) != std::string::npos; }
};

// The machine of a scenario, on which the check or the update runs.
struct Front {
  explicit Front(std::string_view scenario)
      : platform(platform::EmulatedPlatform::ForScenario(scenario, resources)) {}
  std::shared_ptr<emulator::Reader> Reader() {
    return platform->GetMachine().ReaderOf(platform->GetMachine().DiskDevices().front());
  }
  Outcome Run(bool update, std::vector<std::string_view> args) {
    std::ostringstream out;
    std::ostringstream err;
    const int code = update ? cli::RunUpdate(args, *platform, out, err)
                            : cli::RunCheck(args, *platform, out, err);
    return {code, out.str(), err.str()};
  }
  TestResources resources;
  std::unique_ptr<platform::EmulatedPlatform> platform;
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
}

TEST(WorkflowCommandsTest, JsonReportsVerdictVersionsAndOutcome) {
  const Outcome check = Front("flash-old").Run(false, {"--json"});
  EXPECT_EQ(check.code, cli::kExitNotLatest);
  EXPECT_TRUE(check.Shows("\"verdict\": \"not-latest\", \"status\": \"FW is not latest.\""));
  EXPECT_TRUE(check.Shows("\"reader\": {\"fw1\": \"201601150930\", \"fw2\": \"201601150931\"}"));
  EXPECT_TRUE(check.Shows("\"image\": {\"fw1\": \"201703240218\", \"fw2\": \"201705170241\"}"));
  EXPECT_TRUE(check.Shows("\"outcome\": \"not-run\", \"error\": null, \"boxes\": []}\n"));
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

}  // namespace
}  // namespace tr350::test
