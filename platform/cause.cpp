// Describing a platform call's cause of failure, and the calling thread's last cause.
#include "platform/cause.h"

#include <cerrno>
#include <cstdio>
#include <system_error>
#include <type_traits>

namespace tr350::platform {
namespace {

// One per thread, as errno; nothing else in the process shares it. Trivially destructible, so no
// destructor runs at thread exit (Wine's heap does not survive those).
static_assert(std::is_trivially_destructible_v<std::optional<Cause>>);
thread_local std::optional<Cause> t_lastCause;

std::string Hex2(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "%02X", value & 0xFFU);
  return text;
}

}  // namespace

std::optional<SenseCode> ParseSense(std::span<const std::uint8_t> sense) {
  if (sense.empty()) return std::nullopt;
  const std::uint8_t format = sense[0] & 0x7F;
  if ((format == 0x70 || format == 0x71) && sense.size() >= 14) {
    return SenseCode{static_cast<std::uint8_t>(sense[2] & 0x0F), sense[12], sense[13]};
  }
  if ((format == 0x72 || format == 0x73) && sense.size() >= 4) {
    return SenseCode{static_cast<std::uint8_t>(sense[1] & 0x0F), sense[2], sense[3]};
  }
  return std::nullopt;
}

std::string Cause::Describe() const {
  std::string text;
  if (scsiStatus && hostStatus == 0 && driverStatus == 0) {
    // The device answered: its status says more than the name of the call.
    text = "SCSI status " + std::to_string(*scsiStatus);
  } else {
    text = std::string(operation.empty() ? "call" : operation) + ":";
    if (osError != 0) {
      text.append(" ").append(std::generic_category().message(osError));
      text.append(" (errno ").append(std::to_string(osError)).append(")");
    }
    if (!detail.empty()) text.append(" ").append(detail);
    if (hostStatus != 0 || driverStatus != 0) {
      text += " host status 0x" + Hex2(hostStatus) + ", driver status 0x" + Hex2(driverStatus);
    }
    if (osError == 0 && detail.empty() && hostStatus == 0 && driverStatus == 0) text += " failed";
  }
  if (sense) {
    text += ", sense " + Hex2(sense->key) + "/" + Hex2(sense->asc) + "/" + Hex2(sense->ascq);
  }
  return text;
}

bool Cause::PermissionDenied() const {
  return osError == EACCES || osError == EPERM;
}

std::optional<Cause> LastCause() {
  return t_lastCause;
}
void SetLastCause(const Cause& cause) {
  t_lastCause = cause;
}
void ClearLastCause() {
  t_lastCause.reset();
}

}  // namespace tr350::platform
