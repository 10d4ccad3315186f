// Why a platform call failed: the operation, the OS error number and, for a pass-through request,
// the SCSI outcome; with the calling thread's record of the last such cause.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace tr350::platform {

// The sense key and additional sense code and qualifier of a CHECK CONDITION.
struct SenseCode {
  std::uint8_t key = 0;
  std::uint8_t asc = 0;
  std::uint8_t ascq = 0;
  friend bool operator==(const SenseCode&, const SenseCode&) = default;
};

// Fixed (0x70/0x71) and descriptor (0x72/0x73) sense data; nullopt for anything else (a sense
// area the device left empty).
std::optional<SenseCode> ParseSense(std::span<const std::uint8_t> sense);

struct Cause {
  // A short static name: "open", "SG_IO", "mutex open", "mutex wait", "device set", "resources".
  std::string_view operation = {};
  int osError = 0;  // the OS error number (errno); 0 when there is none
  // A short static note where no error number says it ("timed out", "abandoned").
  std::string_view detail = {};
  // A request the device completed with a status other than good, or that the host adapter or
  // its driver failed.
  std::optional<std::uint8_t> scsiStatus = std::nullopt;
  std::uint16_t hostStatus = 0;
  std::uint16_t driverStatus = 0;
  std::optional<SenseCode> sense = std::nullopt;

  // One line, e.g. "open: Permission denied (errno 13)" or "SCSI status 2, sense 05/20/00".
  std::string Describe() const;
  // The caller may not use the object (EACCES, EPERM): a matter of permissions, not of the device.
  bool PermissionDenied() const;
  friend bool operator==(const Cause&, const Cause&) = default;
};

// The calling thread's last cause, as errno is: a backend call that fails records its cause here
// before it returns, one that succeeds leaves it as it was. A caller that wants the cause of one
// call clears it first. Thread-local, so threads never see each other's causes.
std::optional<Cause> LastCause();
void SetLastCause(const Cause& cause);
void ClearLastCause();

}  // namespace tr350::platform
