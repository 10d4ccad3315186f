// The emulated storage backend: paths to readers, the request block mapped onto the reader's
// command, status and sense written back, and disks that outlive their device; the virtual clock.
#include "platform/emulated/emulated_storage.h"

#include <gtest/gtest.h>

#include <atomic>
#include <limits>
#include <thread>
#include <vector>

#include "emulator_test_support.h"
#include "platform/emulated/virtual_clock.h"

namespace tr350::platform {
namespace {

using emulator::Reader;
using emulator::testing::Bytes;
using emulator::testing::Request;
using emulator::testing::SectorCdb;

const Bytes kIdentify = emulator::testing::IdentifyCdb();

class EmulatedStorageTest : public ::testing::Test {
 protected:
  VirtualClock clock_;
  std::shared_ptr<Reader> reader_ = std::make_shared<Reader>(clock_, emulator::SectorStorage{64});
  EmulatedStorage storage_;
  const std::u16string path_ = u"\\\\?\\usbstor#disk&ven_tr350#1#{53f56307}";
};

TEST_F(EmulatedStorageTest, MapsTheRequestBlockOntoTheReadersCommand) {
  EXPECT_EQ(storage_.OpenDisk(path_), nullptr);
  storage_.Attach(path_, reader_);
  auto disk = storage_.OpenDisk(path_);
  ASSERT_NE(disk, nullptr);

  Bytes block(16, 0);
  PassThroughRequest identify = Request(kIdentify, kDataIn, 16);
  ASSERT_TRUE(disk->SendRequest(identify, block));
  EXPECT_EQ(identify.ScsiStatus, 0);

  Bytes data(1024, 0x5A);
  PassThroughRequest write = Request(SectorCdb(0xE6, 3, 2), kDataOut, 1024);
  ASSERT_TRUE(disk->SendRequest(write, data));
  EXPECT_EQ(reader_->PeekSectors(3, 2), data);

  // Only DataTransferLength bytes of a larger buffer travel.
  Bytes larger(2048, 0);
  PassThroughRequest read = Request(SectorCdb(0xE5, 3, 1), kDataIn, 512);
  ASSERT_TRUE(disk->SendRequest(read, larger));
  EXPECT_EQ(Bytes(larger.begin(), larger.begin() + 512), Bytes(512, 0x5A));
  EXPECT_EQ(larger[512], 0);

  // A refusal comes back as CHECK CONDITION with fixed-format sense in the block.
  PassThroughRequest outOfRange = Request(SectorCdb(0xE5, 64, 1), kDataIn, 512);
  ASSERT_TRUE(disk->SendRequest(outOfRange, larger));
  EXPECT_EQ(outOfRange.ScsiStatus, 2);
  EXPECT_EQ(outOfRange.sense[2], 0x05);
  EXPECT_EQ(outOfRange.sense[12], 0x21);

  // A status-1 completion is passed through; a failed call returns false.
  reader_->InjectFault(
      {emulator::AtCommand(reader_->CommandCount()), emulator::FaultAction::kStatusOne});
  PassThroughRequest again = Request(kIdentify, kDataIn, 16);
  ASSERT_TRUE(disk->SendRequest(again, block));
  EXPECT_EQ(again.ScsiStatus, 1);
  reader_->InjectFault(
      {emulator::AtCommand(reader_->CommandCount()), emulator::FaultAction::kNotDelivered});
  EXPECT_FALSE(disk->SendRequest(again, block));

  // Malformed request blocks never reach the reader.
  const std::uint64_t received = reader_->CommandCount();
  PassThroughRequest tooLong = Request(kIdentify, kDataIn, 17);
  EXPECT_FALSE(disk->SendRequest(tooLong, block));
  PassThroughRequest badHeader = Request(kIdentify, kDataIn, 16);
  badHeader.Length = 56;
  EXPECT_FALSE(disk->SendRequest(badHeader, block));
  PassThroughRequest noCdb = Request({}, kDataIn, 16);
  EXPECT_FALSE(disk->SendRequest(noCdb, block));
  PassThroughRequest dataInOther = Request(kIdentify, 2, 16);
  EXPECT_FALSE(disk->SendRequest(dataInOther, block));
  EXPECT_EQ(reader_->CommandCount(), received);
}

TEST_F(EmulatedStorageTest, DisksFailOnceTheirDeviceIsGone) {
  storage_.Attach(path_, reader_);
  auto early = storage_.OpenDisk(path_);
  Bytes block(16);
  PassThroughRequest identify = Request(kIdentify, kDataIn, 16);

  // A reset takes the reader off the bus: the open disk is dead, new opens fail until it is back.
  PassThroughRequest resetRequest =
      Request(emulator::testing::ResetCdb(emulator::kDefaultResetKey), kDataOut, 0);
  ASSERT_TRUE(early->SendRequest(resetRequest, {}));
  EXPECT_EQ(resetRequest.ScsiStatus, 0);
  EXPECT_FALSE(early->SendRequest(identify, block));
  EXPECT_EQ(storage_.OpenDisk(path_), nullptr);
  clock_.Advance(1500);
  auto later = storage_.OpenDisk(path_);
  ASSERT_NE(later, nullptr);
  EXPECT_TRUE(later->SendRequest(identify, block));
  EXPECT_FALSE(early->SendRequest(identify, block));

  // Detaching the path, or putting another reader there, ends the disks opened on it.
  auto other = std::make_shared<Reader>(clock_, emulator::SectorStorage{8});
  storage_.Attach(path_, other);
  EXPECT_FALSE(later->SendRequest(identify, block));
  auto onOther = storage_.OpenDisk(path_);
  EXPECT_TRUE(storage_.Detach(path_));
  EXPECT_FALSE(onOther->SendRequest(identify, block));
  EXPECT_EQ(storage_.OpenDisk(path_), nullptr);
}

TEST_F(EmulatedStorageTest, CommandsFromSeveralThreadsAreSerialisedAndRecorded) {
  storage_.Attach(path_, reader_);
  constexpr int kRounds = 200;
  std::atomic<int> finished{0};
  const auto worker = [&](std::uint8_t sector) {
    for (int i = 0; i < kRounds; ++i) {
      auto disk = storage_.OpenDisk(path_);
      Bytes data(512, static_cast<std::uint8_t>(i));
      PassThroughRequest request = Request(SectorCdb(0xE6, sector, 1), kDataOut, 512);
      if (disk == nullptr || !disk->SendRequest(request, data)) ADD_FAILURE() << "send failed";
    }
    ++finished;
  };
  std::thread a(worker, 1), b(worker, 2);
  while (finished < 2) reader_->Commands();  // read while they run
  a.join();
  b.join();
  EXPECT_EQ(reader_->CommandCount(), 2u * kRounds);
  EXPECT_EQ(reader_->PeekSectors(1, 1), Bytes(512, kRounds - 1));
  EXPECT_EQ(reader_->PeekSectors(2, 1), Bytes(512, kRounds - 1));
}

// Sleeping moves time and is counted, advancing only moves time, threads lose nothing, and time
// saturates instead of wrapping.
TEST(VirtualClockTest, SleepsAndAdvancesFromManyThreadsAddUp) {
  VirtualClock clock(1000);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 1000; ++i) {
        clock.Sleep(3);
        clock.Advance(1);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(clock.NowMs(), 1000u + 4 * 1000 * 4);
  EXPECT_EQ(clock.SleptMs(), 4u * 1000 * 3);
  EXPECT_EQ(clock.SleepCalls(), 4u * 1000);

  clock.Advance(std::numeric_limits<std::uint64_t>::max());
  clock.Sleep(1);
  EXPECT_EQ(clock.NowMs(), std::numeric_limits<std::uint64_t>::max());
}

}  // namespace
}  // namespace tr350::platform
