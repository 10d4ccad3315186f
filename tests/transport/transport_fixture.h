// Test doubles for the transport tests: a scripted disk service, a recorder that keeps every
// request block and data phase, and a test base that installs them as the current platform with
// the emulated mutex service and the virtual clock.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "platform/emulated/emulated_mutexes.h"
#include "platform/emulated/virtual_clock.h"
#include "platform/platform.h"
#include "records/device_entry.h"
#include "records/pass_through_request.h"
#include "transport/flash_part_table.h"

namespace tr350::test {

// What the fake reader answers to one command.
struct Reply {
  bool callSucceeds = true;
  std::uint8_t status = 0;
  std::vector<std::uint8_t> dataIn;  // copied into the data-in buffer, up to its size
};

Reply Status(std::uint8_t scsiStatus);
Reply Data(std::vector<std::uint8_t> bytes);

// One command as the driver received it.
struct SentCommand {
  PassThroughRequest request;         // the block as handed over, before the driver wrote to it
  std::vector<std::uint8_t> dataOut;  // data-phase bytes for DataIn 0
  std::size_t bufferSize = 0;
  bool locked = false;  // the access mutex was held at the time

  std::uint8_t Opcode() const { return request.Cdb[0]; }
  // The serial-flash opcode for carrier commands, else the vendor opcode.
  std::uint8_t CommandOpcode() const;
  std::uint32_t TransferLength() const { return request.DataTransferLength; }
};

// Replies from the queue first, then from the responder (default: status 0, no data).
class ScriptedStorage final : public platform::StorageIo {
 public:
  using Responder =
      std::function<Reply(const PassThroughRequest&, std::span<const std::uint8_t> dataOut)>;
  void Queue(Reply reply) { queue_.push_back(std::move(reply)); }
  void SetResponder(Responder responder) { responder_ = std::move(responder); }
  void SetOpenFails(bool fails) { openFails_ = fails; }
  std::unique_ptr<platform::Disk> OpenDisk(std::u16string_view interfacePath) override;

  Reply Next(const PassThroughRequest& request, std::span<const std::uint8_t> dataOut);

 private:
  std::deque<Reply> queue_;
  Responder responder_;
  bool openFails_ = false;
};

// Records every command sent through the storage it wraps, and how many disks were opened and
// are still open.
class RecordingStorage final : public platform::StorageIo {
 public:
  RecordingStorage(platform::StorageIo& inner, std::function<bool()> isLocked)
      : inner_(inner), isLocked_(std::move(isLocked)) {}
  std::unique_ptr<platform::Disk> OpenDisk(std::u16string_view interfacePath) override;

  std::vector<SentCommand> sent;
  int opens = 0;
  int openNow = 0;
  std::vector<std::uint8_t> CommandOpcodes() const;

 private:
  class Disk;
  platform::StorageIo& inner_;
  std::function<bool()> isLocked_;
};

class NoResources final : public platform::ModuleResources {
 public:
  std::optional<std::span<const std::uint8_t>> Find(std::uint16_t, std::uint16_t) override {
    return std::nullopt;
  }
  std::optional<platform::FileVersion> ProgramFileVersion() override { return std::nullopt; }
};

class TransportTest : public ::testing::Test {
 protected:
  // A reader record with a disk path and a mutex, and the given flash part.
  DeviceEntry Device(const FlashPartDescriptor* part = nullptr);
  // Asserts that the reader's mutex was taken `times` times and released after each, and that
  // every command went out while it was held and no disk stayed open.
  void ExpectLockedAndReleased(int times);
  platform::EmulatedMutexes::NameState MutexState() const { return mutexes.State(kMutexName); }

  static constexpr std::u16string_view kMutexName = u"[Device0000]";
  ScriptedStorage reader;
  platform::VirtualClock clock{1000};
  platform::EmulatedMutexes mutexes{clock};
  platform::UniqueMutex mutex{mutexes, mutexes.Open(kMutexName)};
  RecordingStorage recorder{reader, [this] { return MutexState().ownedByCaller; }};
  NoResources resources;
  platform::ComposedPlatform platform{recorder, mutexes, clock, resources};
  platform::ScopedPlatform scope{platform};
};

// A flash part with the usual command set: 256-byte pages, one status byte, protect value 0x0C.
FlashPartDescriptor TestPart();

}  // namespace tr350::test
