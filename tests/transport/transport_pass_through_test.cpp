// The transport's request block, success rule, bounce buffering, carrier CDBs, refusals that
// send nothing, and the access lock of every locking operation.
#include <array>
#include <cstring>
#include <functional>
#include <string>

#include "tests/transport/transport_fixture.h"
#include "transport/flash_commands.h"
#include "transport/pass_through.h"
#include "transport/reader_identification.h"
#include "transport/vendor_commands.h"

namespace tr350::test {
namespace {

using Block = std::array<std::uint8_t, 80>;

Block BytesOf(const PassThroughRequest& request) {
  Block bytes;
  std::memcpy(bytes.data(), &request, bytes.size());
  return bytes;
}

// The template every command starts from, with the given CDB, direction and transfer length.
Block ExpectedBlock(std::initializer_list<std::uint8_t> cdb, std::uint8_t cdbLength,
                    std::uint8_t dataIn, std::uint32_t length) {
  Block b{};
  b[0] = 44;  // Length
  b[4] = 1;   // TargetId
  b[6] = cdbLength;
  b[7] = 32;  // SenseInfoLength
  b[8] = dataIn;
  for (std::size_t i = 0; i < 4; ++i) b[12 + i] = static_cast<std::uint8_t>(length >> (8 * i));
  b[16] = 5;   // TimeOutValue
  b[24] = 48;  // SenseInfoOffset
  std::copy(cdb.begin(), cdb.end(), b.begin() + 28);
  return b;
}

using PassThroughTest = TransportTest;

TEST_F(PassThroughTest, CarrierCommandsFillTheTemplateAndTheirCdbs) {
  const std::array<std::uint8_t, 4> program = {0x02, 0x12, 0x34, 0x56};
  std::vector<std::uint8_t> data(300);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7);
  ASSERT_TRUE(FlashCmdOut(Device(), program, data));

  const std::array<std::uint8_t, 1> readId = {0x9F};
  std::array<std::uint8_t, 3> id{};
  reader.Queue(Data({0xEF, 0x40, 0x18}));
  ASSERT_TRUE(FlashCmdIn(Device(), readId, id));

  ASSERT_EQ(recorder.sent.size(), 2u);
  EXPECT_EQ(
      BytesOf(recorder.sent[0].request),
      ExpectedBlock({0xE7, 4, 0, 0, 0x01, 0x2C, 0x2A, 0x7E, 0x02, 0x12, 0x34, 0x56}, 16, 0, 300));
  EXPECT_EQ(recorder.sent[0].dataOut, data);
  EXPECT_EQ(BytesOf(recorder.sent[1].request),
            ExpectedBlock({0xE8, 1, 0, 0, 0x00, 0x03, 0x2A, 0x7E, 0x9F}, 16, 1, 3));
  EXPECT_EQ(id, (std::array<std::uint8_t, 3>{0xEF, 0x40, 0x18}));
  EXPECT_EQ(recorder.opens, 2);  // one open per command
  EXPECT_EQ(recorder.openNow, 0);
}

TEST_F(PassThroughTest, SucceedsOnlyWhenTheCallWorksAndStatusIsZeroOrOne) {
  struct Case {
    Reply reply;
    bool openFails;
    bool ok;
  };
  const Case cases[] = {
      {Reply{true, 0, {1, 2}}, false, true},  {Reply{true, 1, {1, 2}}, false, true},
      {Reply{true, 2, {1, 2}}, false, false}, {Reply{false, 0, {1, 2}}, false, false},
      {Reply{true, 0, {1, 2}}, true, false},
  };
  const std::array<std::uint8_t, 1> cmd = {0x05};
  for (const Case& c : cases) {
    reader.SetOpenFails(c.openFails);
    reader.Queue(c.reply);
    std::array<std::uint8_t, 2> out = {0xAA, 0xAA};
    EXPECT_EQ(FlashCmdIn(Device(), cmd, out), c.ok);
    // Out is written on success only.
    EXPECT_EQ(out, c.ok ? (std::array<std::uint8_t, 2>{1, 2})
                        : (std::array<std::uint8_t, 2>{0xAA, 0xAA}));
    EXPECT_EQ(recorder.openNow, 0);
  }
}

TEST_F(PassThroughTest, OneByteFromTheDeviceTravelsAsTwo) {
  const std::array<std::uint8_t, 1> cmd = {0x05};
  std::array<std::uint8_t, 2> out = {0x11, 0x11};
  reader.Queue(Data({0xAB, 0xCD}));
  ASSERT_TRUE(FlashCmdIn(Device(), cmd, std::span(out).first(1)));
  ASSERT_EQ(recorder.sent.size(), 1u);
  EXPECT_EQ(recorder.sent[0].TransferLength(), 2u);
  EXPECT_EQ(recorder.sent[0].bufferSize, 2u);
  EXPECT_EQ(recorder.sent[0].request.Cdb[4], 0);
  EXPECT_EQ(recorder.sent[0].request.Cdb[5], 2);
  EXPECT_EQ(out, (std::array<std::uint8_t, 2>{0xAB, 0x11}));  // exactly one byte delivered
}

TEST_F(PassThroughTest, RefusesBadArgumentsWithoutOpeningTheReader) {
  const std::array<std::uint8_t, 9> nine{};
  const std::array<std::uint8_t, 1> cmd = {0x05};
  std::array<std::uint8_t, 4> out{};
  const std::span<const std::uint8_t> nullCmd;
  DeviceEntry noPath = Device();
  SetFieldText(noPath.diskPath, u"");

  EXPECT_FALSE(FlashCmdOut(Device(), nullCmd, {}));
  EXPECT_FALSE(FlashCmdOut(Device(), nine, {}));
  EXPECT_FALSE(FlashCmdIn(Device(), nullCmd, out));
  EXPECT_FALSE(FlashCmdIn(Device(), cmd, std::span<std::uint8_t>{}));
  EXPECT_FALSE(FlashCmdOut(noPath, cmd, {}));
  EXPECT_FALSE(FlashCmdIn(noPath, cmd, out));
  PassThroughRequest request = MakePassThroughRequest();
  request.DataTransferLength = 8;  // more than the buffer holds
  EXPECT_FALSE(SendPassThrough(Device(), request, out));
  EXPECT_EQ(recorder.opens, 0);
}

// Every locking operation, with a reader whose flash answers ready and reads back blank.
struct LockingOperation {
  const char* name;
  std::function<bool(DeviceEntry)> run;
  friend void PrintTo(const LockingOperation& op, std::ostream* os) { *os << op.name; }
};

class LockTest : public TransportTest, public ::testing::WithParamInterface<LockingOperation> {
 protected:
  void SetUp() override {
    reader.SetResponder([](const PassThroughRequest& r, std::span<const std::uint8_t>) {
      if (r.Cdb[0] == 0xE8 && r.Cdb[8] == 0x03) return Data(std::vector<std::uint8_t>(256, 0xFF));
      if (r.Cdb[0] == 0xE8 && r.Cdb[8] == 0x9F) return Data({0xEF, 0x40, 0x18});
      return Data({0x00, 0x00});
    });
  }
  FlashPartDescriptor part = TestPart();
};

TEST_P(LockTest, ReleasesOnceAfterSuccess) {
  EXPECT_TRUE(GetParam().run(Device(&part)));
  EXPECT_FALSE(recorder.sent.empty());
  ExpectLockedAndReleased(GetParam().name == std::string("ForceCpuReset") ? 2 : 1);
}

TEST_P(LockTest, AFailedWaitSendsNothingAndReleasesNothing) {
  using platform::WaitResult;
  for (const WaitResult result : {WaitResult::kTimedOut, WaitResult::kFailed}) {
    mutexes.InjectWaitResult(kMutexName, result);
    const std::uint64_t start = clock.NowMs();
    EXPECT_FALSE(GetParam().run(Device(&part)));
    if (result == WaitResult::kTimedOut) {
      EXPECT_EQ(clock.NowMs() - start, 5000u);  // the 5,000 ms wait ran out
    }
  }
  EXPECT_EQ(MutexState().waits, 2u);
  EXPECT_EQ(recorder.opens, 0);
  EXPECT_EQ(MutexState().releases + MutexState().failedReleases, 0u);
}

// An abandoned wait makes this thread the owner: the operation fails without sending, and the
// mutex is given back so that the reader stays usable.
TEST_P(LockTest, AnAbandonedWaitSendsNothingAndGivesTheMutexBack) {
  mutexes.InjectWaitResult(kMutexName, platform::WaitResult::kAbandoned);
  EXPECT_FALSE(GetParam().run(Device(&part)));
  EXPECT_EQ(recorder.opens, 0);
  EXPECT_EQ(MutexState().releases, 1u);
  EXPECT_FALSE(MutexState().owned);
  EXPECT_TRUE(GetParam().run(Device(&part)));  // the next operation runs normally
}

INSTANTIATE_TEST_SUITE_P(
    AllLockingOperations, LockTest,
    ::testing::Values(
        LockingOperation{"ReadDeviceInfo",
                         [](DeviceEntry d) {
                           std::array<std::uint8_t, 16> out{};
                           return ReadDeviceInfo(d, out);
                         }},
        LockingOperation{"ForceCpuReset", [](DeviceEntry d) { return ForceCpuReset(d); }},
        LockingOperation{"WriteSectors",
                         [](DeviceEntry d) {
                           const std::array<std::uint8_t, 1024> data{};
                           return WriteSectors(d, 0, data);
                         }},
        LockingOperation{"ReadSectors",
                         [](DeviceEntry d) {
                           std::vector<std::uint8_t> out(1024);
                           return ReadSectors(d, 0, out);
                         }},
        LockingOperation{"IdentifyFlash",
                         [](DeviceEntry d) {
                           std::uint32_t id = 0;
                           std::int32_t index = 0;
                           return IdentifyFlash(d, id, index);
                         }},
        LockingOperation{"SetFlashProtection",
                         [](DeviceEntry d) { return SetFlashProtection(d, true); }},
        LockingOperation{"EraseFlashChip", [](DeviceEntry d) { return EraseFlashChip(d); }},
        LockingOperation{"ProgramFlash",
                         [](DeviceEntry d) {
                           const std::array<std::uint8_t, 600> data{};
                           return ProgramFlash(d, 0, data);
                         }},
        LockingOperation{"ReadFlash",
                         [](DeviceEntry d) {
                           std::vector<std::uint8_t> out(600);
                           return ReadFlash(d, 0, out);
                         }}),
    [](const auto& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace tr350::test
