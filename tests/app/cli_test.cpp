// The terminal front end's info command on this test program's own resources.
#include "app/cli/cli.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "platform/linux/linux_platform.h"

namespace tr350::cli {
namespace {

struct CliRun {
  int code;
  std::string out;
  std::string err;
};

CliRun RunWith(std::vector<std::string_view> args) {
  platform::LinuxPlatform platform;  // this test program carries the tool's resources
  std::ostringstream out;
  std::ostringstream err;
  const int code = RunCli(args, platform, out, err);
  return {code, out.str(), err.str()};
}

TEST(CliInfo, JsonReportsTheCarriedImage) {
  const CliRun r = RunWith({"info", "--json"});
  ASSERT_EQ(r.code, kExitOk) << r.err;
  EXPECT_EQ(r.out,
            "{\"toolVersion\": \"1.0.1.9\", \"fw1\": {\"size\": 25600, \"version\": "
            "\"201703240218\"}, \"fw2\": {\"size\": 36352, \"version\": \"201705170241\"}}\n");
  EXPECT_TRUE(r.err.empty());
}

TEST(CliInfo, TextReportsTheCarriedImage) {
  const CliRun r = RunWith({"info"});
  ASSERT_EQ(r.code, kExitOk) << r.err;
  EXPECT_NE(r.out.find("1.0.1.9"), std::string::npos);
  EXPECT_NE(r.out.find("FW1: 25600 bytes, version 201703240218"), std::string::npos);
  EXPECT_NE(r.out.find("FW2: 36352 bytes, version 201705170241"), std::string::npos);
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

}  // namespace
}  // namespace tr350::cli
