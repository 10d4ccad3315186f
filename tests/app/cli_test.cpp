// The terminal front end's info command on this test program's own resources.
#include "app/cli/cli.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "platform/native.h"

namespace tr350::cli {
namespace {

struct CliRun {
  int code;
  std::string out;
  std::string err;
};

CliRun RunWith(std::vector<std::string_view> args) {
  // This test program carries the tool's resources.
  const std::unique_ptr<platform::Platform> platform = platform::MakeNativePlatform();
  std::ostringstream out;
  std::ostringstream err;
  const int code = RunCli(args, *platform, out, err);
  return {code, out.str(), err.str()};
}

TEST(CliInfo, ReportsTheCarriedImage) {
  const CliRun json = RunWith({"info", "--json"});
  ASSERT_EQ(json.code, kExitOk) << json.err;
  EXPECT_EQ(json.out,
            "{\"toolVersion\": \"1.0.1.9\", \"fw1\": {\"size\": 25600, \"version\": "
            "\"201703240218\"}, \"fw2\": {\"size\": 36352, \"version\": \"201705170241\"}}\n");
  EXPECT_TRUE(json.err.empty());
  const CliRun text = RunWith({"info"});
  ASSERT_EQ(text.code, kExitOk) << text.err;
  EXPECT_NE(text.out.find("FW1: 25600 bytes, version 201703240218"), std::string::npos);
  EXPECT_NE(text.out.find("FW2: 36352 bytes, version 201705170241"), std::string::npos);
}

TEST(Cli, UsageErrorsAndStandardOptions) {
  EXPECT_EQ(RunWith({}).code, kExitUsage);
  const CliRun bad = RunWith({"frobnicate"});
  EXPECT_EQ(bad.code, kExitUsage);
  EXPECT_NE(bad.err.find("unknown command"), std::string::npos);
  EXPECT_EQ(RunWith({"info", "--yaml"}).code, kExitUsage);

  const CliRun help = RunWith({"--help"});
  EXPECT_EQ(help.code, kExitOk);
  EXPECT_NE(help.out.find("Usage: tr350-fwupdate-cli"), std::string::npos);
  const CliRun version = RunWith({"--version"});
  EXPECT_EQ(version.code, kExitOk);
  EXPECT_EQ(version.out, "tr350-fwupdate-cli 1.0.1.9\n");
}

CliRun Main(std::vector<std::string_view> args) {
  std::ostringstream out;
  std::ostringstream err;
  const int code = RunMain(args, out, err);
  return {code, out.str(), err.str()};
}

TEST(Cli, StandardOptionsTakeNoArgumentsAndArgumentsAreShownEscaped) {
  for (const std::vector<std::string_view>& args :
       {std::vector<std::string_view>{"--help", "extra"},
        {"--version", "extra"},
        {"help", "x"},
        {"--simulate=help", "list"}}) {
    SCOPED_TRACE(args.front());
    const CliRun run = Main(args);
    EXPECT_EQ(run.code, kExitUsage);
    EXPECT_EQ(run.out, "");
  }
  // Control characters and bytes that are not UTF-8 would reach the terminal as they are.
  const CliRun command = Main({"\x1b]0;owned\x07\xff\\é"});
  EXPECT_EQ(command.code, kExitUsage);
  EXPECT_NE(command.err.find("unknown command '\\x1b]0;owned\\x07\\xff\\\\é'"), std::string::npos)
      << command.err;
  for (const std::vector<std::string_view>& args :
       {std::vector<std::string_view>{"--simulate=\x1b[2J"},
        {"info", "\r\x1b[2J"},
        {"--simulate", "update", "--\x9b"},
        {"--version", "\n"}}) {
    const CliRun run = Main(args);
    EXPECT_EQ(run.code, kExitUsage);
    EXPECT_EQ(run.err.find_first_of("\x1b\r\x9b"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("\\x"), std::string::npos) << run.err;
  }
}

TEST(CliList, ListsTheReadersOfASimulatedMachine) {
  const CliRun two = Main({"--simulate=two-readers", "list", "--json"});
  ASSERT_EQ(two.code, kExitOk) << two.err;
  EXPECT_EQ(two.out.front(), '[');
  EXPECT_NE(two.out.find("\"slot\": 0"), std::string::npos);
  EXPECT_NE(two.out.find("\"slot\": 1"), std::string::npos);
  EXPECT_NE(two.out.find("\"storageType\": 1, \"accessMode\": 3"), std::string::npos);
  EXPECT_NE(two.out.find("\"storageType\": 2, \"accessMode\": 7"), std::string::npos);
  // Backslashes of instance IDs and paths are escaped.
  EXPECT_NE(two.out.find("\"USB\\\\VID_3C51&PID_4D08\\\\"), std::string::npos);

  const CliRun one = Main({"--simulate", "list"});  // the default scenario
  ASSERT_EQ(one.code, kExitOk);
  EXPECT_NE(one.out.find("Reader 0: USB\\VID_3C51&PID_4D08"), std::string::npos);
  EXPECT_EQ(one.out.find("Reader 1"), std::string::npos);

  EXPECT_EQ(Main({"--simulate=no-usb", "list"}).out, "No reader found.\n");
  EXPECT_EQ(Main({"--simulate=foreign-disk", "list", "--json"}).out, "[]\n");
}

// Every disk the search reached and passed over, with its reason; the readers stay as they were.
TEST(CliList, VerboseListingGivesEachSkippedDiskItsReason) {
  const CliRun foreign = Main({"--simulate=foreign-disk", "list", "--json", "--verbose"});
  EXPECT_EQ(foreign.code, kExitOk);
  EXPECT_EQ(foreign.out.rfind("{\"readers\": [], \"skipped\": [{", 0), 0u) << foreign.out;
  EXPECT_NE(foreign.out.find("\"reason\": \"not-reader\", \"text\": \"not a reader: refused the "
                             "identification command: SCSI status 2, sense 05/20/00\""),
            std::string::npos)
      << foreign.out;

  const CliRun denied = Main({"--simulate=no-permission", "list", "--json", "--verbose"});
  EXPECT_NE(denied.out.find("\"reason\": \"not-opened\""), std::string::npos) << denied.out;
  EXPECT_NE(denied.out.find("\"cause\": {\"operation\": \"open\", \"errno\": 13"),
            std::string::npos)
      << denied.out;
  const CliRun text = Main({"--simulate=no-permission", "list", "--verbose"});
  EXPECT_NE(text.out.find("): could not be opened: open: Permission denied (errno 13)\n"),
            std::string::npos)
      << text.out;
  EXPECT_NE(text.out.find("70-tr350-fwupdate.rules"), std::string::npos);

  // A found reader is not among the skipped disks.
  const CliRun two = Main({"--simulate=two-readers", "list", "--json", "--verbose"});
  EXPECT_NE(two.out.find("\"slot\": 1"), std::string::npos);
  EXPECT_NE(two.out.find("\"skipped\": []}"), std::string::npos) << two.out;
}

TEST(CliList, ScenarioOptionErrors) {
  const CliRun unknown = Main({"--simulate=nowhere", "list"});
  EXPECT_EQ(unknown.code, kExitUsage);
  EXPECT_NE(unknown.err.find("unknown scenario 'nowhere'"), std::string::npos);
  EXPECT_EQ(Main({"--simulate=", "list"}).code, kExitUsage);
  // An argument that only begins like the option is not it, and is not taken for one.
  const CliRun lookalike = Main({"--simulated", "list"});
  EXPECT_EQ(lookalike.code, kExitUsage);
  EXPECT_NE(lookalike.err.find("unknown command '--simulated'"), std::string::npos)
      << lookalike.err;
  const CliRun help = Main({"--simulate=help"});
  EXPECT_EQ(help.code, kExitOk);
  EXPECT_NE(help.out.find("flash-old"), std::string::npos);
  EXPECT_NE(help.out.find("two-readers"), std::string::npos);
}

}  // namespace
}  // namespace tr350::cli
