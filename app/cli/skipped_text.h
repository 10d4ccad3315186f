// The terminal's texts for the disks a device search passed over: one line per disk, its JSON
// object, and the advice for a reader whose node the user may not open.
#pragma once

#include <span>
#include <string>

#include "discovery/device_table.h"

namespace tr350::cli {

// "/dev/sg1 (USB device ...): could not be opened: open: Permission denied (errno 13)".
std::string SkippedLine(const SkippedCandidate& candidate);

// {"instanceId": ..., "diskPath": ..., "reason": "not-opened", "text": ..., "cause": ...}.
std::string SkippedJson(const SkippedCandidate& candidate);
std::string SkippedJsonArray(std::span<const SkippedCandidate> candidates);

// The first candidate the user was not allowed to open; null when there is none.
const SkippedCandidate* FirstPermissionDenied(std::span<const SkippedCandidate> candidates);

// What to tell the user when no reader was found but `candidate`'s node could not be opened.
std::string NoPermissionAdvice(const SkippedCandidate& candidate);

}  // namespace tr350::cli
