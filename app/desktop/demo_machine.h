// The demo behind the desktop program's --simulate: the emulated machine of a scenario on the real
// clock, its reader answering at the pace of a real one.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "emulator/machine.h"
#include "platform/platform.h"

namespace tr350::desktop {

// How slowly the demo's reader answers, so that a newcomer can follow the progress bar: the
// emulated reader answers at once, a real one takes its time over each command.
struct Pacing {
  std::uint32_t perCommandMs = 0;
};
// About two seconds for the read-back of a scan, five for a whole update of the stand-in image.
inline constexpr Pacing kDemoPacing{4};

// How often the desktop polls the demo's machine.
inline constexpr int kDemoPollMs = 100;

// The emulated machine of a scenario on a clock, its disks paced. Thread-safe as the emulated
// platform is.
class DemoMachine {
 public:
  // Null for an unknown scenario. The clock and the resources must outlive the machine.
  static std::unique_ptr<DemoMachine> ForScenario(std::string_view scenario, platform::Clock& clock,
                                                  platform::ModuleResources& resources,
                                                  Pacing pacing);
  ~DemoMachine();
  DemoMachine(const DemoMachine&) = delete;
  DemoMachine& operator=(const DemoMachine&) = delete;

  platform::Platform& Platform();
  emulator::Machine& Machine();
  // Lets a reader that restarted come back once its time has passed; the machine reports its
  // arrival to the window. The desktop calls it every kDemoPollMs.
  void Poll();

 private:
  struct Parts;
  explicit DemoMachine(std::unique_ptr<Parts> parts);
  std::unique_ptr<Parts> parts_;
};

}  // namespace tr350::desktop
