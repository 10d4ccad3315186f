// A platform that answers the tool's calls from a trace instead of a machine: each call must be
// the trace's next record; the first one that is not stops the replay, and every call after it
// fails, so that the run fails and the report says where and how the two differ.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include "platform/platform.h"
#include "platform/trace/trace_format.h"

namespace tr350::platform::trace {

class Player;

// Thread-safe; calls are matched in the order they arrive. Disks and sets opened through it must
// not outlive it. The mutexes and the clock are the caller's: give it an in-process mutex service
// and a virtual clock, which each matched record moves on by the time its call took when it was
// recorded, so that the tool's time-outs see the recorded time pass without waiting for it.
class ReplayPlatform final : public Platform {
 public:
  ReplayPlatform(Trace trace, ModuleResources& resources, Mutexes& sync, Clock& clock);
  ~ReplayPlatform() override;
  ReplayPlatform(const ReplayPlatform&) = delete;
  ReplayPlatform& operator=(const ReplayPlatform&) = delete;

  StorageIo& Storage() override;
  Mutexes& Sync() override { return sync_; }
  Clock& Time() override { return clock_; }
  ModuleResources& Resources() override { return resources_; }
  DeviceSetup& Devices() override;
  // No device arrives or leaves during a replay.
  DeviceNotifications& Notifications() override { return noDevices_; }
  // Whatever the trace was recorded on, no real reader is behind a replay: what the tool keeps for
  // real readers (their backups) must not be touched by it.
  bool Emulated() const override { return true; }

  // Whether a call differed from the trace.
  bool Diverged() const;
  // After the run: true when it made every recorded call and ended with the recorded exit status
  // (when the trace has one); otherwise Report() says why.
  bool Finish(std::optional<int> status);
  // The difference (the record's line, what the trace has, what the tool sent), or the records
  // left unused, or the other exit status; empty while none was found.
  std::string Report() const;
  std::size_t RecordsUsed() const;

 private:
  class ReplayStorage;
  class ReplayDevices;

  ModuleResources& resources_;
  Mutexes& sync_;
  Clock& clock_;
  NoDevices noDevices_;
  std::unique_ptr<Player> player_;
  std::unique_ptr<ReplayStorage> storage_;
  std::unique_ptr<ReplayDevices> devices_;
};

}  // namespace tr350::platform::trace
