// The trace file: one record per platform call the tool made on a reader's machine (device sets,
// the device tree, disk opens, pass-through requests) with the answer it got, as text lines.
// docs/trace-format.md describes the format; this file is its one implementation.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <istream>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/cause.h"
#include "platform/platform.h"

namespace tr350::platform::trace {

// The first line of every trace; a reader of another version refuses the file.
inline constexpr std::string_view kFormatName = "tr350-trace";
inline constexpr int kFormatVersion = 1;

enum class CallKind : std::uint8_t {
  kSetOpen,   // DeviceSetup::OpenPresent
  kSetId,     // DeviceInfoSet::InstanceId
  kSetPath,   // DeviceInfoSet::InterfacePath
  kChild,     // DeviceSetup::FirstChild
  kSibling,   // DeviceSetup::NextSibling
  kDetails,   // DeviceSetup::Details
  kDiskOpen,  // StorageIo::OpenDisk
  kRequest,   // Disk::SendRequest
};

// What the tool asked: everything a replay compares.
struct Call {
  CallKind kind = CallKind::kSetOpen;
  std::uint32_t handle = 0;  // the set's or disk's number, from 1 in order of opening
  InterfaceClass interfaceClass = InterfaceClass::kUsbDevice;  // kSetOpen
  std::size_t member = 0;                                      // kSetId, kSetPath
  std::u16string text{};  // the node (child, sibling, details) or the disk's path (disk open)
  // kRequest: the block's fields the device sees, and the data sent.
  std::vector<std::uint8_t> cdb{};
  std::uint8_t direction = kDataOut;
  std::uint32_t transferLength = 0;
  std::size_t bufferSize = 0;
  std::uint32_t timeoutSeconds = 0;
  std::uint8_t senseLength = 0;
  std::vector<std::uint8_t> dataOut{};
  friend bool operator==(const Call&, const Call&) = default;
};

// The call of a request sent on disk number `disk`: the data out is copied from `buffer`.
Call RequestCall(std::uint32_t disk, const PassThroughRequest& request,
                 std::span<const std::uint8_t> buffer);

// A Cause with its texts owned, as a trace holds it.
struct CauseRecord {
  std::string operation{};
  int osError = 0;
  std::string detail{};
  std::optional<std::uint8_t> scsiStatus{};
  std::uint16_t hostStatus = 0;
  std::uint16_t driverStatus = 0;
  std::optional<SenseCode> sense{};
  friend bool operator==(const CauseRecord&, const CauseRecord&) = default;
};
CauseRecord ToRecord(const Cause& cause);

inline constexpr std::size_t kSenseAreaSize = sizeof(PassThroughRequest::sense);

// What the tool got back.
struct Answer {
  bool ok = true;                        // set open, disk open, request: whether the call succeeded
  std::optional<CauseRecord> cause{};    // the cause the call recorded, if any
  std::size_t setSize = 0;               // kSetOpen
  std::optional<std::u16string> text{};  // kSetId, kSetPath, kChild, kSibling
  DeviceNodeDetails details{};           // kDetails
  std::uint8_t scsiStatus = 0;           // kRequest: the block's status byte and sense area after
  std::array<std::uint8_t, kSenseAreaSize> sense{};
  std::vector<std::uint8_t> dataIn{};  // kRequest from the device: the buffer after the call
  std::uint64_t elapsedMs = 0;         // on the platform's clock (set open, disk open, request)
};

struct Record {
  Call call;
  Answer answer;
  std::size_t line = 0;  // in the file, from 1; 0 for a record not read from a file
};

struct Header {
  bool emulated = false;   // recorded on an emulated machine
  bool deviceTree = true;  // DeviceSetup::HasDeviceTree
  std::string command;     // the command's name; empty when the front end gave none
};

struct Trace {
  Header header;
  std::vector<Record> records;
  std::optional<int> result;  // the recorded run's exit status, when it ended
  std::size_t resultLine = 0;
};

// ---- Writing ---------------------------------------------------------------------------------

// Each returns one line without its end.
std::string FormatVersionLine();
std::string FormatHeaderLines(const Header& header);  // several lines, each ended
std::string FormatCall(const Call& call);
std::string FormatRecord(const Call& call, const Answer& answer);
std::string FormatResult(int status);

// ---- Reading ---------------------------------------------------------------------------------

struct ParseError {
  std::size_t line = 0;
  std::string message;
};

// The whole trace, or the first line it cannot read.
struct ParseResult {
  std::optional<Trace> trace;
  ParseError error;
};
ParseResult ParseTrace(std::istream& in);

// ---- Comparing -------------------------------------------------------------------------------

// The first field in which the tool's call differs from the trace's, in words ("cdb byte 0:
// trace E8, tool E7"); empty when they are the same.
std::string FirstDifference(const Call& traced, const Call& sent);
// The call as FormatCall writes it, with long data shortened to its first bytes and its size.
std::string SummarizeCall(const Call& call);

}  // namespace tr350::platform::trace
