// The fault matrix of interrupted updates: every command of an update on the emulated serial-flash
// and sector readers meets every fault the reader can show, and the runs of the terminal front end
// that follow must never claim a success they did not have and must bring the reader back.
// TR350_FAULT_MATRIX_STRIDE=1 (the tests labelled long) takes every command; the default about 60.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "app/cli/workflow_commands.h"
#include "emulator/faults.h"
#include "image/firmware_image.h"
#include "tests/workflow/app_harness.h"

namespace tr350::test {
namespace {

using emulator::FaultAction;
using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kDefaultIndices = 60;
// The longest wait the tool allows itself is the 10 minutes it gives a chip erase; the runs of a
// case that take 15 have waited out more than one such wait, and count as a hang.
constexpr std::uint64_t kHangBoundMs = 15 * 60 * 1000;
// A person starts the next run a few seconds after the last one ended.
constexpr std::uint64_t kBetweenRunsMs = 5000;
// A corrupted read flips a bit inside the header's USB strings when the command reads the header,
// a code byte otherwise; a two-byte status read has its busy bit flipped.
constexpr std::uint32_t kCorruptedByte = 22;

enum class Fault : std::uint8_t {
  kGoneMidCommand,
  kGoneAfterCommand,
  kNotDelivered,
  kDoneButFailed,
  kStatusOne,
  kCheckCondition,
  kCorruptedRead,
  kStuckBusy,
};
constexpr std::array kFaults = {
    Fault::kGoneMidCommand, Fault::kGoneAfterCommand, Fault::kNotDelivered,  Fault::kDoneButFailed,
    Fault::kStatusOne,      Fault::kCheckCondition,   Fault::kCorruptedRead, Fault::kStuckBusy};

std::string_view FaultName(Fault fault) {
  switch (fault) {
    case Fault::kGoneMidCommand:
      return "gone mid-command";
    case Fault::kGoneAfterCommand:
      return "gone after command";
    case Fault::kNotDelivered:
      return "not delivered";
    case Fault::kDoneButFailed:
      return "done, reported failed";
    case Fault::kStatusOne:
      return "status 1";
    case Fault::kCheckCondition:
      return "check condition";
    case Fault::kCorruptedRead:
      return "corrupted read-back";
    case Fault::kStuckBusy:
      return "chip stuck busy";
  }
  return "?";
}

FaultAction ActionOf(Fault fault) {
  switch (fault) {
    case Fault::kGoneMidCommand:
      return FaultAction::kDropOffBus;
    case Fault::kGoneAfterCommand:
      return FaultAction::kDropOffBusAfter;
    case Fault::kNotDelivered:
      return FaultAction::kNotDelivered;
    case Fault::kDoneButFailed:
      return FaultAction::kLostCompletion;
    case Fault::kStatusOne:
      return FaultAction::kStatusOne;
    case Fault::kStuckBusy:
      return FaultAction::kFlashStuckBusy;
    default:
      return FaultAction::kCheckCondition;
  }
}

// Every command for the long test; otherwise an odd step (so that both halves of the update's
// command/status-poll pairs are hit) that faults about kDefaultIndices commands.
std::uint64_t Stride(std::size_t commands) {
  if (const char* text = std::getenv("TR350_FAULT_MATRIX_STRIDE")) {
    const std::uint64_t stride = std::strtoull(text, nullptr, 10);
    if (stride != 0) return stride;
  }
  const std::uint64_t stride = std::max<std::uint64_t>(1, commands / kDefaultIndices);
  return stride | 1;
}

struct RunResult {
  int code = -1;
  std::string json;
  bool Says(std::string_view part) const { return json.find(part) != std::string::npos; }
  bool Updated() const { return Says("\"outcome\": \"updated\""); }
  bool Latest() const { return Says("\"verdict\": \"latest\""); }
};

// The identity a reader keeps through any update: signature and USB identifiers (bytes 0-5) and
// the string descriptors (16-511).
bool SameIdentity(const Bytes& a, const Bytes& b) {
  return std::equal(a.begin(), a.begin() + 6, b.begin()) &&
         std::equal(a.begin() + 16, a.begin() + 512, b.begin() + 16);
}

// One emulated machine with its own state folder; each call of Update or Check is one run of the
// program, which keeps nothing in memory from the last.
struct Bench : TerminalMachine {
  using TerminalMachine::TerminalMachine;
  RunResult Update() { return Json(&cli::RunUpdate); }
  RunResult Check() { return Json(&cli::RunCheck); }
  RunResult Json(Command command) {
    const Outcome run = Run(command, {"--json", "--progress=none"});
    return {run.code, run.out + run.err};
  }
  // The user pulls the reader out and plugs it back in, a while after the last run.
  void Replug() {
    platform->GetMachine().Unplug(Device());
    platform->GetMachine().Plug(Device());
  }
  void Pause() {
    platform->GetVirtualClock()->Advance(kBetweenRunsMs);
    platform->GetMachine().Poll();
  }
};

struct Tally {
  int cases = 0;
  int falseSuccess = 0;
  int falseLatest = 0;
  int hangs = 0;
  int recovered = 0;
};

struct MatrixCase {
  std::string_view scenario;
  Fault fault;
};

void PrintTo(const MatrixCase& c, std::ostream* out) {
  *out << c.scenario << ", " << FaultName(c.fault);
}

class FaultMatrix : public ::testing::TestWithParam<MatrixCase> {
 protected:
  // What an update writes over the scenario's reader, once and (a rerun over a partly written
  // reader) twice, and the commands of a clean update.
  void SetUp() override {
    Bench bench(GetParam().scenario);
    auto reader = bench.Reader();
    original_ = StorageOf(*reader, kImageHeaderSize);
    const Bytes image = resources_.EmbeddedImage();
    once_ = ExpectedFlash(original_, image, kImageFw1Version, kImageFw2Version);
    twice_ = ExpectedFlash(once_, image, kImageFw1Version, kImageFw2Version);
    original_ = StorageOf(*reader, once_.size());

    const std::uint64_t first = reader->CommandCount();
    const RunResult clean = bench.Update();
    ASSERT_EQ(clean.code, cli::kExitUpToDate) << clean.json;
    ASSERT_EQ(StorageOf(*reader, once_.size()), once_);
    for (const emulator::CommandRecord& record : reader->Commands()) {
      if (record.index >= first) transferLengths_.push_back(record.transferLength);
    }
    ASSERT_EQ(transferLengths_.size(), reader->CommandCount() - first);
  }

  bool Updated(const Bytes& storage) const { return storage == once_ || storage == twice_; }

  // One case; returns what went wrong, empty when nothing did.
  std::string RunCase(std::size_t index, Tally& tally) {
    const Fault fault = GetParam().fault;
    Bench bench(GetParam().scenario);
    auto reader = bench.Reader();
    const std::uint64_t at = reader->CommandCount() + index;
    if (fault == Fault::kCorruptedRead) {
      const std::uint32_t length = transferLengths_[index];
      reader->InjectReadCorruption(
          {emulator::AtCommand(at), length > kCorruptedByte ? kCorruptedByte : 0, 0x01});
    } else {
      reader->InjectFault({emulator::AtCommand(at), ActionOf(fault)});
    }
    std::string problems;
    const auto storage = [&] { return StorageOf(*reader, once_.size()); };

    ++tally.cases;
    const RunResult first = bench.Update();
    if (first.Updated() && storage() != once_) {
      ++tally.falseSuccess;
      problems += " first run: false \"Update OK\";";
    }
    if (first.Latest() && !Updated(storage())) {
      ++tally.falseLatest;
      problems += " first run: false \"FW is latest.\";";
    }

    reader->ClearFaults();
    if (fault == Fault::kStuckBusy || reader->State() == emulator::BusState::kUnplugged) {
      bench.Replug();
    }
    bench.Pause();
    const RunResult check = bench.Check();
    if (check.Latest() && !Updated(storage())) {
      ++tally.falseLatest;
      problems += " check after it: false \"FW is latest.\";";
    }

    bench.Pause();
    const RunResult second = bench.Update();
    const Bytes final = storage();
    bench.Pause();
    const RunResult last = bench.Check();
    bool recovered = true;
    if (second.code != cli::kExitUpToDate) {
      recovered = false;
      problems += " second run ended " + std::to_string(second.code) + ";";
    }
    if (!Updated(final)) {
      recovered = false;
      problems += " reader not restored;";
    }
    if (!SameIdentity(final, original_)) {
      recovered = false;
      problems += " reader's identity changed;";
    }
    if (last.code != cli::kExitUpToDate || !last.Latest()) {
      recovered = false;
      problems += " final check not latest;";
    }
    if (recovered) ++tally.recovered;
    if (bench.RunningMs() >= kHangBoundMs) {
      ++tally.hangs;
      problems += " runs took " + std::to_string(bench.RunningMs()) + " ms of virtual time;";
    }
    if (!problems.empty()) {
      problems += "\n  first run: " + first.json + "  check: " + check.json +
                  "  second run: " + second.json;
    }
    return problems;
  }

  TestResources resources_;
  Bytes original_;
  Bytes once_;
  Bytes twice_;
  std::vector<std::uint32_t> transferLengths_;
};

TEST_P(FaultMatrix, NoFalseSuccessNoHangAndTheNextRunRecovers) {
  const std::size_t commands = transferLengths_.size();
  const std::uint64_t stride = Stride(commands);
  std::vector<std::size_t> indices;
  for (std::size_t i = 0; i < commands; i += stride) indices.push_back(i);
  if (indices.back() != commands - 1) indices.push_back(commands - 1);  // the restart

  Tally tally;
  int reported = 0;
  for (std::size_t index : indices) {
    const std::string problems = RunCase(index, tally);
    // The first few in full; the counts tell the rest.
    if (!problems.empty() && reported++ < 10) {
      ADD_FAILURE() << GetParam().scenario << ", command " << index << ", "
                    << FaultName(GetParam().fault) << ":" << problems;
    }
  }
  std::cout << GetParam().scenario << ", " << FaultName(GetParam().fault) << ": " << commands
            << " commands in a clean update, every " << stride << " faulted: " << tally.cases
            << " cases, " << tally.falseSuccess << " false success, " << tally.falseLatest
            << " false latest, " << tally.hangs << " hangs, " << tally.recovered << " recovered\n"
            << std::flush;
  RecordProperty("cases", tally.cases);
  RecordProperty("falseSuccess", tally.falseSuccess);
  RecordProperty("falseLatest", tally.falseLatest);
  RecordProperty("hangs", tally.hangs);
  RecordProperty("recovered", tally.recovered);
  EXPECT_EQ(tally.falseSuccess, 0);
  EXPECT_EQ(tally.falseLatest, 0);
  EXPECT_EQ(tally.hangs, 0);
  EXPECT_EQ(tally.recovered, tally.cases);
}

std::vector<MatrixCase> AllCases() {
  std::vector<MatrixCase> cases;
  for (std::string_view scenario :
       {std::string_view("flash-old"), std::string_view("sector-old")}) {
    for (Fault fault : kFaults) {
      if (fault == Fault::kStuckBusy && scenario == "sector-old") continue;  // no chip to hang
      cases.push_back({scenario, fault});
    }
  }
  return cases;
}

std::string CaseName(const ::testing::TestParamInfo<MatrixCase>& param) {
  std::string name = param.param.scenario == "flash-old" ? "SerialFlash_" : "Sectors_";
  for (char c : FaultName(param.param.fault)) {
    if (std::isalnum(static_cast<unsigned char>(c))) name += c;
  }
  return name;
}

INSTANTIATE_TEST_SUITE_P(Readers, FaultMatrix, ::testing::ValuesIn(AllCases()), CaseName);

}  // namespace
}  // namespace tr350::test
