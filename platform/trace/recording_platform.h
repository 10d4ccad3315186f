// A platform that passes every call on to another one and writes the reader's side of the run —
// device sets, the device tree, disk opens and pass-through requests with their answers — to a
// trace (trace_format.h). It changes nothing the tool sends or receives.
#pragma once

#include <cstdint>
#include <memory>
#include <ostream>
#include <string_view>

#include "platform/platform.h"

namespace tr350::platform::trace {

class Recorder;

// Thread-safe as the wrapped platform is: records from several threads are written whole, in the
// order their calls ended. Mutexes, the clock, the resources and the notifications are the wrapped
// platform's and are not recorded. `inner` and `out` must outlive this object and every disk and
// set opened through it.
class RecordingPlatform final : public Platform {
 public:
  // Writes the trace's header at once. `command` names the command being run (empty: none).
  // With `flushEachRecord` every record reaches the stream as soon as its call ends, so that a
  // run that is cut short still leaves its trace up to that call.
  RecordingPlatform(Platform& inner, std::ostream& out, std::string_view command = {},
                    bool flushEachRecord = true);
  ~RecordingPlatform() override;
  RecordingPlatform(const RecordingPlatform&) = delete;
  RecordingPlatform& operator=(const RecordingPlatform&) = delete;

  StorageIo& Storage() override;
  Mutexes& Sync() override { return inner_.Sync(); }
  Clock& Time() override { return inner_.Time(); }
  ModuleResources& Resources() override { return inner_.Resources(); }
  DeviceSetup& Devices() override;
  DeviceNotifications& Notifications() override { return inner_.Notifications(); }
  bool Emulated() const override { return inner_.Emulated(); }

  // Ends the trace with the run's exit status.
  void RecordResult(int status);
  // False once a line could not be written: the trace is incomplete.
  bool Complete() const;
  std::uint64_t RecordCount() const;

 private:
  class RecordedStorage;
  class RecordedDevices;

  Platform& inner_;
  std::unique_ptr<Recorder> recorder_;
  std::unique_ptr<RecordedStorage> storage_;
  std::unique_ptr<RecordedDevices> devices_;
};

}  // namespace tr350::platform::trace
