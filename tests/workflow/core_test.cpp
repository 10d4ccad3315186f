// The workflow core run by two copies of the tool at once on one reader: the reader's lock keeps
// their commands apart, so that no copy reports success over a flash the other has spoilt.
#include "workflow/core.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "image/version_stamp.h"
#include "tests/workflow/app_harness.h"

namespace tr350::test {
namespace {

// Each command takes a little real time, so that the two copies' commands interleave.
class SlowDisk final : public platform::Disk {
 public:
  explicit SlowDisk(std::unique_ptr<platform::Disk> disk) : disk_(std::move(disk)) {}
  bool SendRequest(PassThroughRequest& request, std::span<std::uint8_t> buffer) override {
    std::this_thread::sleep_for(std::chrono::microseconds(20));
    return disk_->SendRequest(request, buffer);
  }

 private:
  std::unique_ptr<platform::Disk> disk_;
};

class SlowStorage final : public platform::StorageIo {
 public:
  explicit SlowStorage(platform::StorageIo& storage) : storage_(storage) {}
  std::unique_ptr<platform::Disk> OpenDisk(std::u16string_view path) override {
    std::unique_ptr<platform::Disk> disk = storage_.OpenDisk(path);
    return disk ? std::make_unique<SlowDisk>(std::move(disk)) : nullptr;
  }

 private:
  platform::StorageIo& storage_;
};

class Quiet final : public workflow::Observer {
 public:
  void Progress(int) override {}
};

// What one copy of the tool carries and does: its own table and its own read-back.
struct Copy {
  explicit Copy(platform::ModuleResources& resources) {
    const auto bytes = resources.Find(132, 131);
    EXPECT_TRUE(bytes && ParseImage(image, *bytes));
    fw1 = GetFirmwareVersion(1, image);
    fw2 = GetFirmwareVersion(2, image);
  }
  workflow::CarriedView Carried() const { return {image, fw1, fw2}; }
  // Reads the reader back, then updates it from what it read unless it is latest.
  workflow::UpdateResult CheckAndUpdate() {
    Quiet quiet;
    const workflow::ReadResult read = workflow::ReadReader(table, quiet);
    if (read.error) {
      workflow::UpdateResult failed;
      failed.error = read.error;
      return failed;
    }
    if (workflow::Judge(read.back, Carried()).verdict == workflow::Verdict::kLatest) return {};
    workflow::UpdateRequest request;
    request.readerHeader = read.back.image.header;
    return workflow::UpdateReader(table, Carried(), request, quiet);
  }

  FirmwareImage image;
  std::u16string fw1;
  std::u16string fw2;
  DeviceTable table;
};

TEST(CoreTest, TwoCopiesOnOneReaderNeverReportSuccessOverAWrongFlash) {
  for (const char* scenario : {"flash-old", "sector-old"}) {
    for (int round = 0; round < 6; ++round) {
      SCOPED_TRACE(std::string(scenario) + " round " + std::to_string(round));
      TestResources resources;
      auto machine = platform::EmulatedPlatform::ForScenario(scenario, resources);
      SlowStorage storage(machine->Storage());
      platform::ComposedPlatform slow(storage, machine->Sync(), machine->Time(), resources);
      slow.SetDevices(machine->Devices());
      slow.SetNotifications(machine->Notifications());
      platform::ScopedPlatform scope(slow);
      auto reader = machine->GetMachine().ReaderOf(machine->GetMachine().DiskDevices().front());
      const bool sectors = std::string_view(scenario) == "sector-old";
      const auto peek = [&](std::uint32_t size) {
        if (!sectors) return reader->PeekFlash(0, size);
        std::vector<std::uint8_t> bytes = reader->PeekSectors(0, (size + 511) / 512);
        bytes.resize(size);
        return bytes;
      };
      const std::vector<std::uint8_t> header = peek(512);
      const std::vector<std::uint8_t> expected =
          ExpectedFlash(header, resources.EmbeddedImage(), kImageFw1Version, kImageFw2Version);

      Copy first(resources);
      Copy second(resources);
      workflow::UpdateResult a;
      workflow::UpdateResult b;
      std::thread other([&] {
        // Staggered starts, so that the second copy's commands meet the first's at different
        // points of its update.
        std::this_thread::sleep_for(std::chrono::milliseconds(2 * round));
        b = second.CheckAndUpdate();
      });
      a = first.CheckAndUpdate();
      other.join();

      // Each copy either finished or failed cleanly; whoever says it is done must be right.
      const std::vector<std::uint8_t> flash = peek(static_cast<std::uint32_t>(expected.size()));
      for (const workflow::UpdateResult* result : {&a, &b}) {
        if (!result->error) {
          EXPECT_EQ(flash, expected);
        }
      }
      EXPECT_TRUE(!a.error || !b.error || a.error == ErrorCode::kReaderInUse ||
                  b.error == ErrorCode::kReaderInUse || a.error == ErrorCode::kNoDevice ||
                  b.error == ErrorCode::kNoDevice);
    }
  }
}

}  // namespace
}  // namespace tr350::test
