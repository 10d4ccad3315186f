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
};

Outcome Command(bool update, std::vector<std::string_view> args,
                platform::EmulatedPlatform& platform) {
  std::ostringstream out;
  std::ostringstream err;
  Outcome run;
  run.code =
      update ? cli::RunUpdate(args, platform, out, err) : cli::RunCheck(args, platform, out, err);
  run.out = out.str();
  run.err = err.str();
  return run;
}

bool Has(const std::string& text, std::string_view part) {
  return text.find(part) != std::string::npos;
}

TEST(WorkflowCommandsTest, CheckGivesTheVerdictAsExitCode) {
  struct Case {
    std::string_view scenario;
    int code;
    std::string_view shown;
  };
  const Case cases[] = {
      {"flash-old", cli::kExitNotLatest, "FW is not latest."},
      {"flash-current", cli::kExitUpToDate, "FW is latest."},
      {"no-usb", cli::kExitNoReader, "No device!"},
      {"not-supported", cli::kExitNotSupported, "Image:  FW1 201703240218, FW2 201705170241"},
      {"blank-chip", cli::kExitWorkflowFailed, "[Read device NG] The chip is new."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.scenario);
    TestResources resources;
    auto platform = platform::EmulatedPlatform::ForScenario(c.scenario, resources);
    const Outcome run = Command(false, {"--progress=none"}, *platform);
    EXPECT_EQ(run.code, c.code);
    EXPECT_TRUE(Has(run.out, c.shown)) << run.out;
    EXPECT_EQ(run.err, "");
  }
}

TEST(WorkflowCommandsTest, UpdateWritesTheReaderAndReportsEachStep) {
  TestResources resources;
  auto platform = platform::EmulatedPlatform::ForScenario("flash-old", resources);
  emulator::Machine& machine = platform->GetMachine();
  auto reader = machine.ReaderOf(machine.DiskDevices().front());
  const std::vector<std::uint8_t> header = reader->PeekFlash(0, 512);
  const Outcome run = Command(true, {"--progress=lines"}, *platform);
  EXPECT_EQ(run.code, cli::kExitUpToDate);
  // The read-back (0..100) and then the update (0..80, shown as 0..100 %).
  EXPECT_TRUE(Has(run.out,
                  "progress 0%\nprogress 10%\nprogress 30%\nprogress 55%\nprogress 80%\n"
                  "progress 100%\n"))
      << run.out;
  EXPECT_TRUE(Has(run.out,
                  "progress 0%\nprogress 12%\nprogress 50%\nprogress 62%\n"
                  "progress 75%\nprogress 87%\nprogress 100%\n"))
      << run.out;
  EXPECT_TRUE(Has(run.out, "[TR350 Card Reader FW Update Tool] Update OK\n"));
  EXPECT_TRUE(Has(run.out, "Update: done\n"));
  const std::vector<std::uint8_t> expected =
      ExpectedFlash(header, resources.EmbeddedImage(), kImageFw1Version, kImageFw2Version);
  EXPECT_EQ(reader->PeekFlash(0, static_cast<std::uint32_t>(expected.size())), expected);
}

TEST(WorkflowCommandsTest, JsonReportsVerdictVersionsAndOutcome) {
  {
    TestResources resources;
    auto platform = platform::EmulatedPlatform::ForScenario("flash-old", resources);
    const Outcome run = Command(false, {"--json"}, *platform);
    EXPECT_EQ(run.code, cli::kExitNotLatest);
    EXPECT_TRUE(Has(run.out, "\"verdict\": \"not-latest\", \"status\": \"FW is not latest.\""));
    EXPECT_TRUE(Has(run.out, "\"reader\": {\"fw1\": \"201601150930\", \"fw2\": \"201601150931\"}"));
    EXPECT_TRUE(Has(run.out, "\"image\": {\"fw1\": \"201703240218\", \"fw2\": \"201705170241\"}"));
    EXPECT_TRUE(Has(run.out, "\"outcome\": \"not-run\", \"error\": null, \"boxes\": []}\n"));
    EXPECT_EQ(std::ranges::count(run.out, '\n'), 1);
  }
  {
    TestResources resources;
    auto platform = platform::EmulatedPlatform::ForScenario("flash-current", resources);
    const Outcome run = Command(true, {"--json"}, *platform);
    EXPECT_EQ(run.code, cli::kExitUpToDate);
    EXPECT_TRUE(Has(run.out, "\"outcome\": \"not-needed\""));
  }
  {
    TestResources resources;
    auto platform = platform::EmulatedPlatform::ForScenario("flash-old", resources);
    emulator::Machine& machine = platform->GetMachine();
    machine.ReaderOf(machine.DiskDevices().front())
        ->InjectFault({emulator::OnFlashOpcode(0x02), emulator::FaultAction::kCheckCondition, 0});
    const Outcome run = Command(true, {"--json"}, *platform);
    EXPECT_EQ(run.code, cli::kExitWorkflowFailed);
    EXPECT_TRUE(Has(run.out,
                    "\"outcome\": \"failed\", \"error\": {\"code\": 514, \"meaning\": "
                    "\"Write configure error!!!\"}"));
    EXPECT_TRUE(Has(run.out, "\"boxes\": [{\"caption\": \"Error\", \"text\": \"NG\"}]"));
  }
}

TEST(WorkflowCommandsTest, FailedUpdateAndProgressBarOnATerminal) {
  TestResources resources;
  auto platform = platform::EmulatedPlatform::ForScenario("flash-old", resources);
  emulator::Machine& machine = platform->GetMachine();
  machine.ReaderOf(machine.DiskDevices().front())
      ->InjectFault({emulator::OnOpcode(0xE2), emulator::FaultAction::kCheckCondition, 1});
  const Outcome run = Command(true, {"--progress=bar"}, *platform);
  EXPECT_EQ(run.code, cli::kExitWorkflowFailed);
  EXPECT_TRUE(Has(run.out, "\r[########################################] 100%\n")) << run.out;
  EXPECT_TRUE(Has(run.out, "[Error] NG\n"));
  EXPECT_TRUE(Has(run.out, "Update: failed (Force CPU reset error!!!)\n"));
}

TEST(WorkflowCommandsTest, UnknownOptionIsAUsageError) {
  TestResources resources;
  auto platform = platform::EmulatedPlatform::ForScenario("flash-old", resources);
  const Outcome run = Command(false, {"--fast"}, *platform);
  EXPECT_EQ(run.code, cli::kExitWorkflowUsage);
  EXPECT_EQ(run.out, "");
  EXPECT_TRUE(Has(run.err, "unknown option '--fast'"));
}

}  // namespace
}  // namespace tr350::test
