// Several readers at once through the terminal front end: list with reader ids, check and update
// of one reader by its id or of all of them in workers of their own, on the eight-reader machine;
// a reader unplugged in the middle fails alone and is brought back by the next run.
#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/cli/cli.h"
#include "app/cli/workflow_commands.h"
#include "tests/workflow/app_harness.h"

namespace tr350::test {
namespace {

using Outcome = TerminalMachine::Outcome;

constexpr std::uint8_t kFlashCommandOut = 0xE7;
constexpr std::uint8_t kSectorRead = 0xE5;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The value of a JSON field as printed ("\"outcome\": \"updated\"" gives "\"updated\"").
std::string Field(const std::string& object, const std::string& name) {
  const std::string key = "\"" + name + "\": ";
  const std::size_t at = object.find(key);
  if (at == std::string::npos) return "";
  const std::size_t start = at + key.size();
  std::size_t end = start;
  int depth = 0;
  bool quoted = false;
  for (; end < object.size(); ++end) {
    const char c = object[end];
    if (quoted) {
      if (c == '\\') ++end;
      if (c == '"') quoted = false;
      continue;
    }
    if (c == '"') quoted = true;
    if (c == '{' || c == '[') ++depth;
    if (c == '}' || c == ']') {
      if (depth == 0) break;
      --depth;
    }
    if (c == ',' && depth == 0) break;
  }
  return object.substr(start, end - start);
}

const std::string kCurrentVersions = R"({"fw1": "201703240218", "fw2": "201705170241"})";
const std::string kOldVersions = R"({"fw1": "201601150930", "fw2": "201601150931"})";

// The readers of the eight-reader machine in tree order; three of them hold current firmware.
const std::vector<std::string> kIds = {"1-2.1", "1-2.2",   "1-2.3",   "1-2.4",
                                       "1-3",   "1-4.1.2", "1-4.1.3", "1-4.3"};
const std::set<std::string> kCurrent = {"1-2.3", "1-3", "1-4.3"};

TEST(ManyReaders, ListShowsEachReaderWithItsPortAndPart) {
  TerminalMachine machine("eight-readers");
  const Outcome list = machine.Run(&cli::RunCli, {"list", "--json"});
  ASSERT_EQ(list.code, cli::kExitUpToDate) << list.err;
  std::vector<std::string> ids;
  for (std::size_t at = 0; (at = list.out.find("\"id\": ", at)) != std::string::npos; ++at) {
    ids.push_back(Field(list.out.substr(at - 1), "id"));
  }
  std::vector<std::string> quoted;
  for (const std::string& id : kIds) quoted.push_back("\"" + id + "\"");
  EXPECT_EQ(ids, quoted);
  EXPECT_NE(list.out.find(R"("part": "sector storage")"), std::string::npos);
  EXPECT_NE(list.out.find(R"x("part": "serial flash 58 (1640EF)")x"), std::string::npos);
}

TEST(ManyReaders, UpdateAllBringsEveryReaderUpToDateWithOneResultEach) {
  TerminalMachine machine("eight-readers");
  const Outcome update = machine.Run(&cli::RunUpdate, {"--all", "--json"});
  EXPECT_EQ(update.code, cli::kExitUpToDate) << update.out << update.err;
  const std::vector<std::string> results = Lines(update.out);
  ASSERT_EQ(results.size(), kIds.size()) << update.out;
  for (std::size_t i = 0; i < results.size(); ++i) {
    SCOPED_TRACE(results[i]);
    const bool current = kCurrent.contains(kIds[i]);
    EXPECT_EQ(Field(results[i], "id"), "\"" + kIds[i] + "\"");
    EXPECT_EQ(Field(results[i], "before"), current ? kCurrentVersions : kOldVersions);
    EXPECT_EQ(Field(results[i], "outcome"), current ? "\"not-needed\"" : "\"updated\"");
    // Read again after the restart, found at the same port under its new disk node.
    EXPECT_EQ(Field(results[i], "after"), current ? "null" : kCurrentVersions);
    EXPECT_EQ(Field(results[i], "error"), "null");
  }
  // The content check, not only the stamps: every reader holds what an update writes.
  const Outcome check = machine.Run(&cli::RunCheck, {"--all", "--json"});
  EXPECT_EQ(check.code, cli::kExitUpToDate) << check.out;
  for (const std::string& result : Lines(check.out)) {
    EXPECT_EQ(Field(result, "verdict"), "\"latest\"") << result;
  }
  EXPECT_EQ(Lines(check.out).size(), kIds.size());
}

TEST(ManyReaders, EveryReaderIsWorkedOnAtOnceUnderItsOwnLock) {
  TerminalMachine machine("eight-readers");
  emulator::Machine& m = machine.platform->GetMachine();
  platform::EmulatedMutexes& mutexes = machine.platform->GetMutexes();
  // The first reader's update stops at its first flash write until every other reader's
  // read-back has begun: with one reader after the other it would wait in vain. The wait is in
  // real time and bounded.
  const std::vector<emulator::DeviceId> devices = m.DiskDevices();
  bool othersStarted = false;
  m.AfterCommand(devices.front(), kFlashCommandOut, 1, [&](emulator::Machine&) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!othersStarted && std::chrono::steady_clock::now() < deadline) {
      othersStarted = true;
      for (std::size_t i = 1; i < devices.size(); ++i) {
        const emulator::Reader& reader = *m.ReaderOf(devices[i]);
        othersStarted = othersStarted && (CountFlashOpcode(reader, 0x03) > 0 ||
                                          CountOpcode(reader, kSectorRead) > 0);
      }
      if (!othersStarted) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  const Outcome update = machine.Run(&cli::RunUpdate, {"--all", "--progress=lines"});
  EXPECT_EQ(update.code, cli::kExitUpToDate) << update.out;
  EXPECT_TRUE(othersStarted);
  // One progress line per reader and step, then the summary with one row per reader.
  EXPECT_TRUE(update.Shows("1-4.1.3: progress 100%\n")) << update.out;
  EXPECT_TRUE(update.Shows("READER   PART")) << update.out;
  EXPECT_GE(Lines(update.out.substr(update.out.find("READER"))).size(), kIds.size() + 1);
  for (std::size_t slot = 0; slot < kIds.size(); ++slot) {
    const std::u16string name =
        u"[Device000" + std::u16string(1, static_cast<char16_t>(u'0' + slot)) + u"]";
    EXPECT_FALSE(mutexes.State(name).owned) << slot;  // every lock given back
  }
}

TEST(ManyReaders, AReaderUnpluggedMidwayFailsAloneAndTheNextRunRecoversIt) {
  TerminalMachine machine("eight-readers");
  emulator::Machine& m = machine.platform->GetMachine();
  const emulator::DeviceId pulled = m.DiskDevices()[3];  // 1-2.4, serial flash, older firmware
  // Right after its fourth flash write command: the chip erase.
  m.AfterCommand(pulled, kFlashCommandOut, 4,
                 [pulled](emulator::Machine& mm) { mm.Unplug(pulled); });
  const Outcome first = machine.Run(&cli::RunUpdate, {"--all", "--json"});
  EXPECT_EQ(first.code, cli::kExitWorkflowFailed) << first.out;
  const std::vector<std::string> results = Lines(first.out);
  ASSERT_EQ(results.size(), kIds.size()) << first.out;
  for (std::size_t i = 0; i < results.size(); ++i) {
    SCOPED_TRACE(results[i]);
    if (i == 3) {
      EXPECT_EQ(Field(results[i], "outcome"), "\"failed\"");
      EXPECT_NE(Field(results[i], "cause"), "null");
      EXPECT_EQ(Field(results[i], "exit"), "1");
    } else {
      EXPECT_NE(Field(results[i], "outcome"), "\"failed\"");
      EXPECT_EQ(Field(results[i], "exit"), "0");
    }
  }
  // Pulled while its chip was being erased: left blank, with its firmware in a pending backup.
  EXPECT_EQ(m.ReaderOf(pulled)->PeekFlash(0, 2), (std::vector<std::uint8_t>{0xFF, 0xFF}));

  m.Plug(pulled);
  const Outcome second = machine.Run(&cli::RunUpdate, {"--all", "--json"});
  EXPECT_EQ(second.code, cli::kExitUpToDate) << second.out;
  const std::vector<std::string> again = Lines(second.out);
  ASSERT_EQ(again.size(), kIds.size());
  EXPECT_EQ(Field(again[3], "outcome"), "\"updated\"") << again[3];
  EXPECT_NE(Field(again[3], "backupUsed"), "null");
  EXPECT_EQ(Field(again[3], "after"), kCurrentVersions);
  for (std::size_t i = 0; i < again.size(); ++i) {
    if (i != 3) {
      EXPECT_EQ(Field(again[i], "outcome"), "\"not-needed\"") << again[i];
    }
  }
  EXPECT_EQ(machine.Run(&cli::RunCheck, {"--all", "--progress=none"}).code, cli::kExitUpToDate);
}

TEST(ManyReaders, OneReaderByItsIdAndTheMistakesAroundIt) {
  TerminalMachine machine("eight-readers");
  emulator::Machine& m = machine.platform->GetMachine();
  const auto untouched = m.ReaderOf(m.DiskDevices()[0])->PeekFlash(0, 4096);
  const Outcome one = machine.Run(&cli::RunUpdate, {"--reader", "1-4.1.3", "--json"});
  EXPECT_EQ(one.code, cli::kExitUpToDate) << one.out << one.err;
  ASSERT_EQ(Lines(one.out).size(), 1u);
  EXPECT_EQ(Field(one.out, "id"), "\"1-4.1.3\"");
  EXPECT_EQ(Field(one.out, "outcome"), "\"updated\"");
  EXPECT_EQ(m.ReaderOf(m.DiskDevices()[0])->PeekFlash(0, 4096), untouched);

  // The others are still older: the check of all of them says so in its status.
  const Outcome check = machine.Run(&cli::RunCheck, {"--all", "--progress=none"});
  EXPECT_EQ(check.code, cli::kExitNotLatest);
  EXPECT_TRUE(check.Shows("1-4.1.3  sector storage")) << check.out;

  const Outcome unknown = machine.Run(&cli::RunCheck, {"--reader=9-9"});
  EXPECT_EQ(unknown.code, cli::kExitNoReader);
  EXPECT_NE(unknown.err.find("no reader '9-9'; found: 1-2.1 1-2.2"), std::string::npos)
      << unknown.err;
  EXPECT_EQ(machine.Run(&cli::RunCheck, {"--all", "--reader", "1-3"}).code,
            cli::kExitWorkflowUsage);
  EXPECT_EQ(machine.Run(&cli::RunCheck, {"--reader"}).code, cli::kExitWorkflowUsage);
  EXPECT_EQ(machine.Run(&cli::RunVerify, {"--all"}).code, cli::kExitWorkflowUsage);
}

}  // namespace
}  // namespace tr350::test
