// Terminal and JSON texts for the disks a device search passed over.
#include "app/cli/skipped_text.h"

#include <algorithm>

#include "app/cli/text_output.h"

namespace tr350::cli {
namespace {

std::string_view ReasonName(SkipReason reason) {
  switch (reason) {
    case SkipReason::kNotOpened:
      return "not-opened";
    case SkipReason::kInUse:
      return "in-use";
    case SkipReason::kNotReader:
      return "not-reader";
    case SkipReason::kUnknownStorage:
      return "unknown-storage";
    case SkipReason::kUnknownFlashPart:
      return "unknown-flash-part";
  }
  return "not-reader";
}

}  // namespace

std::string SkippedLine(const SkippedCandidate& candidate) {
  return ToUtf8(candidate.diskPath) + " (USB device " + ToUtf8(candidate.usbInstanceId) +
         "): " + candidate.Describe();
}

std::string SkippedJson(const SkippedCandidate& candidate) {
  std::string cause = "null";
  if (candidate.cause) {
    cause = "{\"operation\": " + JsonString(candidate.cause->operation) +
            ", \"errno\": " + std::to_string(candidate.cause->osError) +
            ", \"text\": " + JsonString(candidate.cause->Describe()) + "}";
  }
  return "{\"instanceId\": " + JsonString(candidate.usbInstanceId) +
         ", \"diskInstanceId\": " + JsonString(candidate.diskInstanceId) +
         ", \"diskPath\": " + JsonString(candidate.diskPath) + ", \"reason\": \"" +
         std::string(ReasonName(candidate.reason)) +
         "\", \"text\": " + JsonString(candidate.Describe()) + ", \"cause\": " + cause + "}";
}

std::string SkippedJsonArray(std::span<const SkippedCandidate> candidates) {
  std::string out = "[";
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    out += (i == 0 ? "" : ", ") + SkippedJson(candidates[i]);
  }
  return out + "]";
}

const SkippedCandidate* FirstPermissionDenied(std::span<const SkippedCandidate> candidates) {
  const auto it = std::ranges::find_if(candidates, &SkippedCandidate::PermissionDenied);
  return it == candidates.end() ? nullptr : &*it;
}

std::string NoPermissionAdvice(const SkippedCandidate& candidate) {
  return "No reader found, but " + ToUtf8(candidate.diskPath) +
         " could not be opened: permission denied. Install the package's udev rule "
         "(70-tr350-fwupdate.rules) and plug the reader in again, or run the tool as root.";
}

}  // namespace tr350::cli
