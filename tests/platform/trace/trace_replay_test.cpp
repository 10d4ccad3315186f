// Recording and replaying the terminal front end's commands on emulated machines: recording
// changes nothing, a recorded run replays to the same result, the kept traces still replay, and a
// trace that differs from what the tool does stops the replay at the record that differs.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "app/cli/workflow_commands.h"
#include "platform/emulated/emulated_mutexes.h"
#include "platform/emulated/virtual_clock.h"
#include "platform/trace/recording_platform.h"
#include "platform/trace/replay_platform.h"
#include "platform/trace/trace_session.h"
#include "tests/workflow/app_harness.h"

namespace tr350::platform::trace {
namespace {

using test::TerminalMachine;
using Command = TerminalMachine::Command;

using Outcome = TerminalMachine::Outcome;

Outcome RunOn(Command command, std::vector<std::string_view> args, Platform& platform) {
  std::ostringstream out;
  std::ostringstream err;
  const int code = command(args, platform, out, err);
  return {code, out.str(), err.str()};
}

// Runs the command on the machine through a recording; returns the trace.
std::string Record(TerminalMachine& machine, std::string_view name, Command command,
                   std::vector<std::string_view> args, Outcome& run) {
  std::ostringstream trace;
  RecordingPlatform recording(*machine.platform, trace, name);
  run = RunOn(command, args, recording);
  recording.RecordResult(run.code);
  EXPECT_TRUE(recording.Complete());
  return trace.str();
}

struct Replayed {
  Outcome run;
  bool matched = false;
  std::string report;
};

// Replays a trace with the program's resources, in-process mutexes and a virtual clock, as the
// front end does.
Replayed Replay(const std::string& text, Command command, std::vector<std::string_view> args) {
  std::istringstream in(text);
  ParseResult parsed = ParseTrace(in);
  EXPECT_TRUE(parsed.trace) << parsed.error.line << ": " << parsed.error.message;
  if (!parsed.trace) return {};
  test::TestResources resources;
  VirtualClock clock;
  EmulatedMutexes mutexes(clock);
  ReplayPlatform replay(std::move(*parsed.trace), resources, mutexes, clock);
  Replayed result;
  result.run = RunOn(command, args, replay);
  result.matched = replay.Finish(result.run.code);
  result.report = replay.Report();
  return result;
}

// The run's output with what differs between two runs made the same way (the state folder, the
// time in a backup's name) replaced.
std::string Steady(std::string text, const TerminalMachine& machine) {
  const std::string state = machine.state.string();
  for (std::size_t at = text.find(state); at != std::string::npos; at = text.find(state, at)) {
    text.replace(at, state.size(), "<state>");
  }
  return std::regex_replace(text, std::regex("[0-9]{8}T[0-9]{6}Z"), "<time>");
}

// Replaces line `number` (from 1) of a trace.
std::string WithLine(const std::string& text, std::size_t number, const std::string& line) {
  std::istringstream in(text);
  std::string out;
  std::string current;
  for (std::size_t n = 1; std::getline(in, current); ++n)
    out += (n == number ? line : current) + "\n";
  return out;
}

std::string LineOf(const std::string& text, std::size_t number) {
  std::istringstream in(text);
  std::string current;
  for (std::size_t n = 1; std::getline(in, current); ++n) {
    if (n == number) return current;
  }
  return {};
}

// The number of the first line that starts with `prefix` after line `after`; 0 when none.
std::size_t FindLine(const std::string& text, std::string_view prefix, std::size_t after = 0) {
  std::istringstream in(text);
  std::string current;
  for (std::size_t n = 1; std::getline(in, current); ++n) {
    if (n > after && current.starts_with(prefix)) return n;
  }
  return 0;
}

TEST(Recording, ChangesNothingTheToolSendsOrReceives) {
  Outcome plain;
  Outcome recorded;
  std::string trace;
  std::vector<emulator::CommandRecord> plainLog;
  std::vector<emulator::CommandRecord> recordedLog;
  std::vector<std::uint8_t> plainFlash;
  std::vector<std::uint8_t> recordedFlash;
  std::string plainSteady;
  std::string recordedSteady;
  {
    TerminalMachine machine("flash-old");
    plain = machine.Run(cli::RunUpdate, {});
    plainLog = machine.Reader()->Commands();
    plainFlash = machine.Reader()->PeekFlash(0, 0x20000);
    plainSteady = Steady(plain.out, machine);
  }
  {
    TerminalMachine machine("flash-old");
    trace = Record(machine, "update", cli::RunUpdate, {}, recorded);
    recordedLog = machine.Reader()->Commands();
    recordedFlash = machine.Reader()->PeekFlash(0, 0x20000);
    recordedSteady = Steady(recorded.out, machine);
    // No personal paths: the backup's folder is printed, never traced.
    EXPECT_EQ(trace.find(machine.state.string()), std::string::npos);
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
      EXPECT_EQ(trace.find(home), std::string::npos);
    }
  }
  ASSERT_EQ(plain.code, cli::kExitUpToDate) << plain.err;
  EXPECT_EQ(recorded.code, plain.code);
  EXPECT_EQ(recordedSteady, plainSteady);
  EXPECT_EQ(recorded.err, plain.err);
  EXPECT_EQ(recordedFlash, plainFlash);
  ASSERT_EQ(recordedLog.size(), plainLog.size());
  for (std::size_t i = 0; i < plainLog.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(recordedLog[i].cdb, plainLog[i].cdb);
    EXPECT_EQ(recordedLog[i].direction, plainLog[i].direction);
    EXPECT_EQ(recordedLog[i].transferLength, plainLog[i].transferLength);
    EXPECT_EQ(recordedLog[i].dataOut, plainLog[i].dataOut);
    EXPECT_EQ(recordedLog[i].outcome.delivered, plainLog[i].outcome.delivered);
    EXPECT_EQ(recordedLog[i].outcome.status, plainLog[i].outcome.status);
  }
  // Every command the reader received is in the trace.
  std::size_t requests = 0;
  for (std::size_t at = trace.find("\nrequest "); at != std::string::npos;
       at = trace.find("\nrequest ", at + 1)) {
    ++requests;
  }
  EXPECT_EQ(requests, plainLog.size());
}

// Scenarios that take the tool down its other paths: sector storage, two readers, a blank chip,
// a node the user may not open, a disk that refuses the identification, another product.
TEST(Replay, ARecordedRunReplaysToTheSameResult) {
  for (const std::string_view scenario :
       {"flash-old", "flash-current", "sector-old", "two-readers", "blank-chip", "no-permission",
        "foreign-disk", "not-supported", "no-usb"}) {
    SCOPED_TRACE(scenario);
    TerminalMachine machine(scenario);
    Outcome recorded;
    const std::string trace = Record(machine, "check", cli::RunCheck, {"--json"}, recorded);
    const Replayed replayed = Replay(trace, cli::RunCheck, {"--json"});
    EXPECT_TRUE(replayed.matched) << replayed.report;
    EXPECT_EQ(replayed.run.code, recorded.code);
    EXPECT_EQ(replayed.run.out, recorded.out);
    EXPECT_EQ(replayed.run.err, recorded.err);
  }
}

// A refused request and a failed driver call keep their status, sense and cause through the
// trace: the front end prints the same cause.
TEST(Replay, FailedRequestsKeepTheirCauses) {
  for (const emulator::FaultAction action :
       {emulator::FaultAction::kCheckCondition, emulator::FaultAction::kNotDelivered}) {
    SCOPED_TRACE(static_cast<int>(action));
    TerminalMachine machine("flash-old");
    // Every flash read (0x03) fails; the identification before them goes through.
    machine.Reader()->InjectFault({emulator::OnFlashOpcode(0x03), action, 0});
    Outcome recorded;
    const std::string trace = Record(machine, "check", cli::RunCheck, {}, recorded);
    ASSERT_EQ(recorded.code, cli::kExitWorkflowFailed) << recorded.out;
    // A refused command completes with its status and sense; a failed call has a cause.
    EXPECT_NE(trace.find(action == emulator::FaultAction::kNotDelivered ? " cause=\"SG_IO\""
                                                                        : " status=2 sense=70"),
              std::string::npos);
    const Replayed replayed = Replay(trace, cli::RunCheck, {});
    EXPECT_TRUE(replayed.matched) << replayed.report;
    EXPECT_EQ(replayed.run.out, recorded.out);
    EXPECT_EQ(replayed.run.err, recorded.err);
  }
}

struct KeptTrace {
  std::string_view file;
  std::string_view scenario;
  std::string_view command;
  Command run;
};
const KeptTrace kKeptTraces[] = {
    {"flash-old-check.trace", "flash-old", "check", cli::RunCheck},
    {"flash-old-update.trace", "flash-old", "update", cli::RunUpdate},
    {"sector-old-check.trace", "sector-old", "check", cli::RunCheck},
};

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// With TR350_REWRITE_TRACES=1 the kept traces are recorded again first: after a deliberate change
// of the command sequence, the diff of tests/data/traces/ shows it in review.
TEST(KeptTraces, ReplayToTheirRecordedResult) {
  const bool rewrite = std::getenv("TR350_REWRITE_TRACES") != nullptr;
  for (const KeptTrace& kept : kKeptTraces) {
    SCOPED_TRACE(kept.file);
    const std::string path = std::string(TR350_TRACE_DATA_DIR) + "/" + std::string(kept.file);
    TerminalMachine machine(kept.scenario);
    if (rewrite) {
      Outcome run;
      const std::string trace = Record(machine, kept.command, kept.run, {}, run);
      std::ofstream out(path, std::ios::binary | std::ios::trunc);
      out << "# " << kept.command << " on the emulated scenario " << kept.scenario
          << "; recorded again by TR350_REWRITE_TRACES=1 (docs/trace-format.md).\n"
          << trace;
      ASSERT_TRUE(out.good()) << path;
    }
    const std::string text = ReadFile(path);
    ASSERT_FALSE(text.empty()) << path;
    std::istringstream in(text);
    const ParseResult parsed = ParseTrace(in);
    ASSERT_TRUE(parsed.trace) << parsed.error.line << ": " << parsed.error.message;
    ASSERT_TRUE(parsed.trace->result);
    EXPECT_EQ(parsed.trace->header.command, kept.command);

    const Replayed replayed = Replay(text, kept.run, {});
    EXPECT_TRUE(replayed.matched) << replayed.report;
    EXPECT_EQ(replayed.run.code, *parsed.trace->result) << replayed.run.out << replayed.run.err;
  }
}

// One changed byte of a request (the last read's opcode) and one changed byte of an answer (the
// flash status before the first read says busy, so the tool asks again instead of reading): each
// stops the replay at the call that differs, with both sides in the report.
TEST(KeptTraces, AChangedRequestOrAnswerStopsTheReplayWhereItDiffers) {
  const std::string text = ReadFile(std::string(TR350_TRACE_DATA_DIR) + "/flash-old-check.trace");
  ASSERT_FALSE(text.empty());
  TerminalMachine state("no-usb");  // the folder of backups the check looks into

  std::size_t last = 0;
  for (std::size_t n = FindLine(text, "request "); n != 0; n = FindLine(text, "request ", n)) {
    last = n;
  }
  ASSERT_NE(last, 0u);
  std::string edited = LineOf(text, last);
  const std::size_t cdb = edited.find("cdb=") + 4;
  const std::string sent = edited.substr(0, cdb + 2);
  edited.replace(cdb, 2, edited.substr(cdb, 2) == "00" ? "01" : "00");
  Replayed replayed = Replay(WithLine(text, last, edited), cli::RunCheck, {});
  EXPECT_FALSE(replayed.matched);
  EXPECT_NE(replayed.run.code, cli::kExitNotLatest);
  for (const std::string& part :
       {"at line " + std::to_string(last), "trace: " + edited.substr(0, cdb + 2), "tool:  " + sent,
        std::string("first difference: cdb byte 0")}) {
    EXPECT_NE(replayed.report.find(part), std::string::npos) << part << "\n" << replayed.report;
  }

  // The first status read (flash opcode 05), which a read of the flash follows.
  std::size_t status = FindLine(text, "request ");
  while (status != 0 && LineOf(text, status).find("2A7E05") == std::string::npos) {
    status = FindLine(text, "request ", status);
  }
  ASSERT_NE(status, 0u);
  std::string busy = LineOf(text, status);
  ASSERT_NE(busy.find("2A7E05"), std::string::npos) << busy;
  const std::size_t in = busy.find(" in=");
  ASSERT_NE(in, std::string::npos);
  // The write-in-progress bit of the first status byte.
  const int value = std::stoi(busy.substr(in + 4, 2), nullptr, 16) | 1;
  busy.replace(in + 4, 2, {"0123456789ABCDEF"[value >> 4], "0123456789ABCDEF"[value & 15]});
  const std::size_t read = FindLine(text, "request ", status);
  replayed = Replay(WithLine(text, status, busy), cli::RunCheck, {});
  EXPECT_FALSE(replayed.matched);
  EXPECT_NE(replayed.run.code, cli::kExitNotLatest);
  for (const std::string& part :
       {"at line " + std::to_string(read), "trace: " + LineOf(text, read).substr(0, 40),
        "tool:  " + LineOf(text, read).substr(0, LineOf(text, read).find("cdb=")) +
            LineOf(text, status).substr(LineOf(text, status).find("cdb="), 26),
        std::string("first difference: cdb byte 1: trace 04, tool 01")}) {
    EXPECT_NE(replayed.report.find(part), std::string::npos) << part << "\n" << replayed.report;
  }
}

// A trace that holds more than the tool asks for, or another result, is no match either.
TEST(KeptTraces, UnusedRecordsAndAnotherResultAreReported) {
  const std::string text = ReadFile(std::string(TR350_TRACE_DATA_DIR) + "/sector-old-check.trace");
  ASSERT_FALSE(text.empty());
  TerminalMachine state("no-usb");
  const std::size_t result = FindLine(text, "result ");
  ASSERT_NE(result, 0u);
  const std::size_t lastRequest = result - 1;
  const std::string extra =
      WithLine(text, result, LineOf(text, lastRequest) + "\n" + LineOf(text, result));
  Replayed replayed = Replay(extra, cli::RunCheck, {});
  EXPECT_FALSE(replayed.matched);
  EXPECT_NE(replayed.report.find("1 record(s) left unused, from line " + std::to_string(result)),
            std::string::npos)
      << replayed.report;

  replayed = Replay(WithLine(text, result, "result 0"), cli::RunCheck, {});
  EXPECT_FALSE(replayed.matched);
  EXPECT_NE(replayed.report.find("exit status 0"), std::string::npos) << replayed.report;
}

// The front end's entry: the options, a trace file written and replayed, and a replay of another
// command refused before it runs.
TEST(TraceSession, RecordsToAFileAndReplaysFromIt) {
  const std::vector<std::string_view> args = {"--record", "a.trace", "--replay=b", "--record"};
  EXPECT_EQ(ParseTraceOption(args, 0).taken, 2u);
  EXPECT_EQ(ParseTraceOption(args, 0).option.mode, TraceMode::kRecord);
  EXPECT_EQ(ParseTraceOption(args, 2).option.file, "b");
  EXPECT_FALSE(ParseTraceOption(args, 3).error.empty());
  EXPECT_EQ(ParseTraceOption(args, 1).taken, 0u);

  TerminalMachine machine("sector-old");
  const std::filesystem::path file = machine.state / "check.trace";
  std::ostringstream err;
  const TraceContext context{"tool", err, 99};
  std::ostringstream out;
  const Command check = cli::RunCheck;
  const auto run = [&](Platform& platform) { return check({}, platform, out, err); };
  EXPECT_EQ(RunRecorded(*machine.platform, file, "check", run, context), cli::kExitNotLatest);
  EXPECT_EQ(
      RunRecorded(*machine.platform, machine.state / "no" / "such.trace", "check", run, context),
      99);

  test::TestResources resources;
  VirtualClock clock;
  EmulatedMutexes mutexes(clock);
  EXPECT_EQ(RunReplayed(file, "check", resources, mutexes, clock, run, context),
            cli::kExitNotLatest)
      << err.str();
  EXPECT_EQ(RunReplayed(file, "update", resources, mutexes, clock, run, context), 99);
  EXPECT_NE(err.str().find("was recorded for 'check', not for 'update'"), std::string::npos)
      << err.str();
}

}  // namespace
}  // namespace tr350::platform::trace
