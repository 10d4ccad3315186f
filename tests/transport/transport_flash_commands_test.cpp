// The serial-flash layer: the ready wait and its bounds, the operations' command sequences and the
// clean-up command after each failing step. Page splits and the chips' commands are checked
// against the emulator's catalogue chips.
#include <array>
#include <deque>
#include <functional>
#include <vector>

#include "tests/transport/transport_fixture.h"
#include "transport/flash_commands.h"
#include "transport/flash_part_table.h"

namespace tr350::test {
namespace {

Reply Ready() {
  return Data({0x00, 0x00});
}
Reply Busy() {
  return Data({0x01, 0x00});
}

using Ops = std::vector<std::uint8_t>;
Ops Seq(std::initializer_list<Ops> parts) {
  Ops all;
  for (const Ops& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}
const Ops kFailedWait(11, 0x05);  // a wait that ends at the eleventh failed status read

// A flash chip behind the reader: status answers from a script (then ready), reads from
// `content`, and every occurrence of `failOpcode` from the `failFrom`-th on failing.
class FlashTest : public TransportTest {
 protected:
  void SetUp() override {
    reader.SetResponder([this](const PassThroughRequest& r, std::span<const std::uint8_t>) {
      const std::uint8_t op = r.Cdb[8];
      if (op == failOpcode && ++seen[op] >= failFrom) return Status(2);
      if (op == 0x05) {
        if (statusScript.empty()) return Ready();
        Reply reply = statusScript.front();
        statusScript.pop_front();
        return reply;
      }
      if (op == 0x03) {
        const auto address = static_cast<std::size_t>(r.Cdb[9] << 16 | r.Cdb[10] << 8 | r.Cdb[11]);
        const auto first = content.begin() + static_cast<std::ptrdiff_t>(address);
        return Data(std::vector<std::uint8_t>(first, first + r.DataTransferLength));
      }
      return Reply{};
    });
  }
  void FailFrom(std::uint8_t opcode, int occurrence) {
    failOpcode = opcode;
    failFrom = occurrence;
  }

  FlashPartDescriptor part = TestPart();
  std::deque<Reply> statusScript;
  std::vector<std::uint8_t> content = std::vector<std::uint8_t>(65536, 0xFF);
  std::uint8_t failOpcode = 0;
  int failFrom = 0;
  std::array<int, 256> seen{};
};

std::vector<std::uint8_t> CdbCommand(const SentCommand& s) {
  return {s.request.Cdb + 8, s.request.Cdb + 8 + s.request.Cdb[1]};
}

TEST_F(FlashTest, MissingPartOrCommandSendsNothing) {
  std::uint32_t id = 0;
  std::array<std::uint8_t, 4> out{};
  EXPECT_FALSE(FlashReadId(Device(), id));
  EXPECT_FALSE(FlashReadStatus(Device(), out));
  EXPECT_FALSE(EraseFlashChip(Device()));
  EXPECT_FALSE(ReadFlash(Device(), 0, out));
  part.writeDisable = {};
  part.chipErase = {};
  EXPECT_FALSE(FlashWriteEnable(Device(&part), false));
  EXPECT_FALSE(FlashChipEraseCmd(Device(&part)));
  part.writeStatus = {};
  EXPECT_TRUE(FlashWriteStatus(Device(&part), std::span(out).first(1)));  // nothing to write
  EXPECT_EQ(recorder.opens, 0);
  EXPECT_EQ(MutexState().waits, 0u);
}

TEST_F(FlashTest, ReadUsesPageSizedPiecesAndEmptyTransfersSendNothing) {
  part.pageSize = 32;
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<std::uint8_t>(i);
  std::vector<std::uint8_t> out(100);
  ASSERT_TRUE(ReadFlash(Device(&part), 0x40, out));
  EXPECT_EQ(recorder.CommandOpcodes(), (Ops{0x03, 0x05, 0x03, 0x05, 0x03, 0x05, 0x03, 0x05}));
  EXPECT_EQ(recorder.sent[6].TransferLength(), 4u);
  for (std::size_t i = 0; i < out.size(); ++i) ASSERT_EQ(out[i], 0x40 + i);

  recorder.sent.clear();
  EXPECT_TRUE(ReadFlash(Device(&part), 0, std::span(out).first(0)));
  EXPECT_TRUE(ProgramFlash(Device(&part), 0, std::span(out).first(0)));
  EXPECT_TRUE(recorder.sent.empty());
  // The 3-byte flash address cannot reach past 16 MiB.
  EXPECT_FALSE(ProgramFlash(Device(&part), 0xFFFF80, std::span(out).first(0x81)));
  EXPECT_TRUE(recorder.sent.empty());
}

TEST_F(FlashTest, ReadyWaitToleratesTenFailedStatusReadsInARow) {
  const DeviceEntry device = Device(&part);
  statusScript.assign(10, Status(2));
  EXPECT_TRUE(WaitFlashReady(device, 7, FlashBusy::kShortCommand));
  EXPECT_EQ(recorder.sent.size(), 11u);

  recorder.sent.clear();
  statusScript.assign(11, Status(2));
  EXPECT_FALSE(WaitFlashReady(device, 7, FlashBusy::kShortCommand));
  EXPECT_EQ(recorder.sent.size(), 11u);

  // A good read in between, even a busy one, starts the count again.
  recorder.sent.clear();
  statusScript.assign(10, Status(2));
  statusScript.push_back(Busy());
  statusScript.insert(statusScript.end(), 10, Status(2));
  EXPECT_TRUE(WaitFlashReady(device, 7, FlashBusy::kShortCommand));
  EXPECT_EQ(recorder.sent.size(), 22u);
}

TEST_F(FlashTest, ReadyWaitGivesUpOnAChipThatStaysBusy) {
  statusScript.assign(1000000, Busy());
  const DeviceEntry device = Device(&part);
  for (const auto& [busy, interval] :
       {std::pair{FlashBusy::kErasing, 9999u}, std::pair{FlashBusy::kShortCommand, 5u},
        std::pair{FlashBusy::kShortCommand, 0u}}) {
    const std::uint64_t start = clock.NowMs();
    const std::uint64_t limit = ReadyWaitLimitMs(busy, interval);
    EXPECT_FALSE(WaitFlashReady(device, interval, busy));
    EXPECT_GE(clock.NowMs() - start, limit);
    EXPECT_LT(clock.NowMs() - start, limit + interval + 1);
  }
}

TEST_F(FlashTest, EraseWaitsMinutesWhileProgramGivesUpWithinSeconds) {
  statusScript.assign(180, Busy());  // three minutes at the erase poll interval of 1,000 ms
  EXPECT_TRUE(EraseFlashChip(Device(&part)));
  EXPECT_EQ(recorder.CommandOpcodes(), Seq({{0xC7}, Ops(181, 0x05), {0x03, 0x05}}));

  recorder.sent.clear();
  statusScript.assign(1000000, Busy());
  const std::uint64_t start = clock.NowMs();
  const std::array<std::uint8_t, 16> data{};
  EXPECT_FALSE(ProgramFlash(Device(&part), 0, data));
  EXPECT_LT(clock.NowMs() - start, 60u * 1000);
  EXPECT_EQ(recorder.CommandOpcodes().back(), 0x04);  // clean-up after the failed wait
  ExpectLockedAndReleased(2);
}

TEST_F(FlashTest, EraseChecksTheFirstPageIsBlank) {
  part.pageSize = 32;
  ASSERT_TRUE(EraseFlashChip(Device(&part)));
  EXPECT_EQ(recorder.CommandOpcodes(), (Ops{0xC7, 0x05, 0x03, 0x05}));  // no write enable
  EXPECT_EQ(recorder.sent[2].TransferLength(), 32u);
  part.pageSize = 256;
  content[255] = 0xFE;
  EXPECT_FALSE(EraseFlashChip(Device(&part)));
  content[255] = 0xFF;
  content[256] = 0x00;  // beyond the checked page
  EXPECT_TRUE(EraseFlashChip(Device(&part)));
  ExpectLockedAndReleased(3);
}

TEST_F(FlashTest, ProtectionWritesTheStatusBytesBetweenEnableAndDisable) {
  ASSERT_TRUE(SetFlashProtection(Device(&part), true));
  EXPECT_EQ(recorder.CommandOpcodes(), (Ops{0x06, 0x01, 0x05, 0x04}));
  EXPECT_EQ(CdbCommand(recorder.sent[1]), (Ops{0x01, 0x0C}));

  recorder.sent.clear();
  part.writeStatus = {0x01, 3, 0, 10};
  part.writeStatusPrefix = {0x50, 1, 0, 0};
  part.protection.protectValue = 0x021C;
  ASSERT_TRUE(SetFlashProtection(Device(&part), true));
  EXPECT_EQ(recorder.CommandOpcodes(), (Ops{0x06, 0x50, 0x01, 0x05, 0x04}));
  EXPECT_EQ(CdbCommand(recorder.sent[2]), (Ops{0x01, 0x1C, 0x02}));  // low byte first
  ASSERT_TRUE(SetFlashProtection(Device(&part), false));
  EXPECT_EQ(CdbCommand(recorder.sent[7]), (Ops{0x01, 0x00, 0x00}));

  recorder.sent.clear();
  part.writeStatus = {};
  ASSERT_TRUE(SetFlashProtection(Device(&part), true));
  EXPECT_EQ(recorder.CommandOpcodes(), (Ops{0x06, 0x05, 0x04}));
  ExpectLockedAndReleased(4);
}

struct FailingStep {
  const char* name;
  std::function<bool(DeviceEntry)> operation;
  std::uint8_t failOpcode;
  int failFrom;
  Ops expected;  // ends with 0x04 exactly where the step leaves the write latch to clean up
  friend void PrintTo(const FailingStep& step, std::ostream* os) { *os << step.name; }
};

class CleanUpTest : public FlashTest, public ::testing::WithParamInterface<FailingStep> {};

TEST_P(CleanUpTest, FailingStepSendsTheCleanUpItNeedsAndReleasesOnce) {
  FailFrom(GetParam().failOpcode, GetParam().failFrom);
  EXPECT_FALSE(GetParam().operation(Device(&part)));
  EXPECT_EQ(recorder.CommandOpcodes(), GetParam().expected);
  ExpectLockedAndReleased(1);
}

bool Protect(DeviceEntry d) {
  return SetFlashProtection(d, true);
}
bool Erase(DeviceEntry d) {
  return EraseFlashChip(d);
}
bool Program(DeviceEntry d) {
  const std::array<std::uint8_t, 300> data{};
  return ProgramFlash(d, 0, data);
}
bool Read(DeviceEntry d) {
  std::array<std::uint8_t, 300> out{};
  return ReadFlash(d, 0, out);
}

INSTANTIATE_TEST_SUITE_P(
    EveryStep, CleanUpTest,
    ::testing::Values(
        FailingStep{"ProtectWriteEnable", Protect, 0x06, 1, {0x06}},
        FailingStep{"ProtectStatusWrite", Protect, 0x01, 1, {0x06, 0x01, 0x04}},
        FailingStep{"ProtectWait", Protect, 0x05, 1, Seq({{0x06, 0x01}, kFailedWait, {0x04}})},
        FailingStep{"ProtectWriteDisable", Protect, 0x04, 1, {0x06, 0x01, 0x05, 0x04}},
        FailingStep{"EraseCommand", Erase, 0xC7, 1, {0xC7, 0x04}},
        FailingStep{"EraseWait", Erase, 0x05, 1, Seq({{0xC7}, kFailedWait, {0x04}})},
        FailingStep{"EraseBlankRead", Erase, 0x03, 1, {0xC7, 0x05, 0x03}},
        FailingStep{"EraseWaitAfterRead", Erase, 0x05, 2,
                    Seq({{0xC7, 0x05, 0x03}, kFailedWait, {0x04}})},
        FailingStep{"ProgramPage", Program, 0x02, 2, {0x02, 0x05, 0x02, 0x04}},
        FailingStep{"ProgramWait", Program, 0x05, 2,
                    Seq({{0x02, 0x05, 0x02}, kFailedWait, {0x04}})},
        FailingStep{"ReadPiece", Read, 0x03, 2, {0x03, 0x05, 0x03}},
        FailingStep{"ReadWait", Read, 0x05, 1, Seq({{0x03}, kFailedWait})}),
    [](const auto& param) { return std::string(param.param.name); });

// ---- Identification against the part table

class IdentifyTest : public TransportTest {
 protected:
  // The chip answers each read-identification opcode through `answer`; nothing else is sent.
  void Chip(std::function<std::vector<std::uint8_t>(std::uint8_t opcode)> answer) {
    reader.SetResponder([answer](const PassThroughRequest& r, std::span<const std::uint8_t>) {
      return Data(answer(r.Cdb[8]));
    });
  }
  bool Identify(DeviceEntry& entry) { return IdentifyFlash(entry, id, index); }
  std::uint32_t id = 0;
  std::int32_t index = 0;
};

TEST_F(IdentifyTest, SilentChipIsProbedWithEveryRecordAndLeavesTheEntryAlone) {
  Chip([](std::uint8_t) { return std::vector<std::uint8_t>(4, 0xFF); });
  DeviceEntry entry = Device();
  entry.flashPartIndex = 7;
  EXPECT_FALSE(Identify(entry));
  EXPECT_EQ(entry.flashPart, nullptr);
  EXPECT_EQ(entry.flashPartIndex, 7);

  // One probe per record, under one lock; which record answers first is checked against the
  // emulator's catalogue chips.
  EXPECT_EQ(recorder.sent.size(), kFlashPartCount);
  ExpectLockedAndReleased(1);
}

TEST_F(IdentifyTest, FirstRecognisedAnswerEndsTheProbe) {
  Chip([](std::uint8_t op) {
    return op == 0x90 ? std::vector<std::uint8_t>{0xEF, 0x17, 0x00, 0x00}
                      : std::vector<std::uint8_t>(4, 0xFF);
  });
  DeviceEntry entry = Device();
  ASSERT_TRUE(Identify(entry));
  EXPECT_EQ(recorder.sent.size(), 24u);  // records 0-22, then the first 0x90 probe
  EXPECT_EQ(entry.flashPart, &FlashPartTable[59]);
  EXPECT_EQ(entry.flashPartIndex, 59);
  EXPECT_EQ(entry.flashId, 0x17EFu);
  EXPECT_EQ(index, 59);
  EXPECT_EQ(id, 0x17EFu);
}

TEST_F(IdentifyTest, UnrecognisedLongReplyDoesNotLeakIntoTheNextLookup) {
  // A four-byte 0x90 answer with fourth byte 2, then a three-byte 0x9F answer whose lookup
  // depends on the fourth byte: it must be 0 again (position 28), not 2 (position 31).
  bool seen90 = false;
  Chip([&seen90](std::uint8_t op) {
    if (op == 0x90) {
      seen90 = true;
      return std::vector<std::uint8_t>{0x7F, 0x00, 0x00, 0x02};
    }
    if (op == 0x9F && seen90) return std::vector<std::uint8_t>{0xBF, 0x25, 0x26};
    return std::vector<std::uint8_t>(4, 0xFF);
  });
  DeviceEntry entry = Device();
  ASSERT_TRUE(Identify(entry));
  EXPECT_EQ(entry.flashPartIndex, 28);
  EXPECT_EQ(entry.flashId, 0x2625BFu);
}

}  // namespace
}  // namespace tr350::test
