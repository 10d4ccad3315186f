// The transport tests' doubles: scripted disks and the command recorder.
#include "tests/transport/transport_fixture.h"

#include <algorithm>

namespace tr350::test {
namespace {

class ScriptedDisk final : public platform::Disk {
 public:
  explicit ScriptedDisk(ScriptedStorage& owner) : owner_(owner) {}
  bool SendRequest(PassThroughRequest& request, std::span<std::uint8_t> buffer) override {
    EXPECT_LE(request.DataTransferLength, buffer.size());
    const bool in = request.DataIn == kDataIn;
    const std::span<const std::uint8_t> out = in ? std::span<const std::uint8_t>{} : buffer;
    const Reply reply = owner_.Next(request, out);
    if (!reply.callSucceeds) return false;
    request.ScsiStatus = reply.status;
    if (in) {
      const std::size_t n = std::min(reply.dataIn.size(), buffer.size());
      std::copy_n(reply.dataIn.begin(), n, buffer.begin());
    }
    return true;
  }

 private:
  ScriptedStorage& owner_;
};

}  // namespace

Reply Status(std::uint8_t scsiStatus) {
  return Reply{true, scsiStatus, {}};
}
Reply Data(std::vector<std::uint8_t> bytes) {
  return Reply{true, 0, std::move(bytes)};
}

std::uint8_t SentCommand::CommandOpcode() const {
  const bool carrier = Opcode() == 0xE7 || Opcode() == 0xE8;
  return carrier ? request.Cdb[8] : Opcode();
}

std::unique_ptr<platform::Disk> ScriptedStorage::OpenDisk(std::u16string_view interfacePath) {
  if (openFails_ || interfacePath.empty()) return nullptr;
  return std::make_unique<ScriptedDisk>(*this);
}

Reply ScriptedStorage::Next(const PassThroughRequest& request,
                            std::span<const std::uint8_t> dataOut) {
  if (!queue_.empty()) {
    Reply reply = std::move(queue_.front());
    queue_.pop_front();
    return reply;
  }
  return responder_ ? responder_(request, dataOut) : Reply{};
}

class RecordingStorage::Disk final : public platform::Disk {
 public:
  Disk(RecordingStorage& owner, std::unique_ptr<platform::Disk> inner)
      : owner_(owner), inner_(std::move(inner)) {
    ++owner_.opens;
    ++owner_.openNow;
  }
  ~Disk() override { --owner_.openNow; }
  bool SendRequest(PassThroughRequest& request, std::span<std::uint8_t> buffer) override {
    SentCommand& record = owner_.sent.emplace_back();
    record.request = request;
    record.bufferSize = buffer.size();
    record.locked = owner_.isLocked_();
    if (request.DataIn == kDataOut) {
      record.dataOut.assign(buffer.begin(), buffer.begin() + request.DataTransferLength);
    }
    return inner_->SendRequest(request, buffer);
  }

 private:
  RecordingStorage& owner_;
  std::unique_ptr<platform::Disk> inner_;
};

std::unique_ptr<platform::Disk> RecordingStorage::OpenDisk(std::u16string_view interfacePath) {
  std::unique_ptr<platform::Disk> inner = inner_.OpenDisk(interfacePath);
  if (!inner) return nullptr;
  return std::make_unique<Disk>(*this, std::move(inner));
}

std::vector<std::uint8_t> RecordingStorage::CommandOpcodes() const {
  std::vector<std::uint8_t> opcodes;
  for (const SentCommand& s : sent) opcodes.push_back(s.CommandOpcode());
  return opcodes;
}

DeviceEntry TransportTest::Device(const FlashPartDescriptor* part) {
  DeviceEntry entry = MakeEmptyDeviceEntry();
  SetFieldText(entry.diskPath, u"\\\\?\\usbstor#disk&ven_tr350#0001#{disk}");
  entry.accessMutex = mutex.Get();
  entry.flashPart = part;
  return entry;
}

void TransportTest::ExpectLockedAndReleased(int times) {
  const platform::EmulatedMutexes::NameState state = MutexState();
  EXPECT_EQ(state.waits, static_cast<std::uint64_t>(times));
  EXPECT_EQ(state.releases, static_cast<std::uint64_t>(times));
  EXPECT_EQ(state.failedReleases, 0u);
  EXPECT_FALSE(state.owned);
  EXPECT_EQ(recorder.openNow, 0);
  for (const SentCommand& s : recorder.sent) EXPECT_TRUE(s.locked);
}

FlashPartDescriptor TestPart() {
  FlashPartDescriptor part{};
  part.pageSize = 256;
  part.writeEnable = {0x06, 1, 0, 0};
  part.writeDisable = {0x04, 1, 0, 0};
  part.readStatus = {0x05, 1, 1, 0};
  part.writeStatus = {0x01, 2, 0, 10};
  part.readData = {0x03, 4, 0, 1};
  part.pageProgram = {0x02, 4, 0, 2};
  part.readId = {0x9F, 1, 3, 0};
  part.chipErase = {0xC7, 1, 0, 1000};
  part.protection = {0, 0, 0x0C, 0};
  return part;
}

}  // namespace tr350::test
