// The trace's text: every record kind comes back as written, whatever its texts hold; a damaged
// file is refused at its line; differences are named by their field and byte.
#include "platform/trace/trace_format.h"

#include <gtest/gtest.h>

#include <sstream>

namespace tr350::platform::trace {
namespace {

Trace Parse(const std::string& text) {
  std::istringstream in(text);
  ParseResult parsed = ParseTrace(in);
  EXPECT_TRUE(parsed.trace) << parsed.error.line << ": " << parsed.error.message;
  return parsed.trace.value_or(Trace{});
}

TEST(TraceFormat, EveryRecordKindComesBackAsWritten) {
  // Texts an OS may hand out: spaces, quotes, percent signs, a lone surrogate, a pair, CJK, a
  // dash (which alone means "none"), and nothing at all.
  const std::u16string odd = u"USB\\VID_3C51&PID_4D08\\5&1 \"x\"%41";
  const std::u16string wide = u"\xD800-\xD83D\xDE00-\x8B80\x5361\x5668";
  const CauseRecord cause{"SG_IO", 5, "timed out", 2, 7, 8, SenseCode{0x0B, 0x47, 0x01}};

  std::vector<std::pair<Call, Answer>> records;
  records.push_back({{.kind = CallKind::kSetOpen, .handle = 1}, {.setSize = 3, .elapsedMs = 4}});
  records.push_back(
      {{.kind = CallKind::kSetOpen, .handle = 2, .interfaceClass = InterfaceClass::kDisk},
       {.ok = false, .cause = CauseRecord{"device set", 0, "", {}, 0, 0, {}}}});
  records.push_back({{.kind = CallKind::kSetId, .handle = 1, .member = 2}, {.text = odd}});
  records.push_back({{.kind = CallKind::kSetPath, .handle = 1, .member = 0}, {.text = u"-"}});
  records.push_back({{.kind = CallKind::kSetPath, .handle = 1, .member = 1}, {.text = u""}});
  records.push_back({{.kind = CallKind::kSetId, .handle = 1, .member = 9}, {}});
  records.push_back({{.kind = CallKind::kChild, .text = wide}, {.text = odd}});
  records.push_back({{.kind = CallKind::kSibling, .text = odd}, {}});
  Answer details;
  details.details = {wide, u"Generic", odd, -1, 4};
  records.push_back({{.kind = CallKind::kDetails, .text = u"node"}, details});
  records.push_back({{.kind = CallKind::kDiskOpen, .handle = 1, .text = odd},
                     {.ok = false, .cause = CauseRecord{"open", 13, "", {}, 0, 0, {}}}});
  Call request{.kind = CallKind::kRequest,
               .handle = 1,
               .cdb = {0xE8, 0, 0x10},
               .direction = kDataIn,
               .transferLength = 4,
               .bufferSize = 16,
               .timeoutSeconds = 5,
               .senseLength = 32};
  Answer answer{
      .ok = false, .cause = cause, .scsiStatus = 2, .dataIn = {1, 2, 0, 0}, .elapsedMs = 1234};
  answer.sense[0] = 0x70;
  answer.sense[2] = 0x0B;
  answer.sense[31] = 0x01;  // the last byte of the area: nothing is trimmed
  records.push_back({request, answer});
  request.direction = kDataOut;
  request.dataOut = {0x9F, 0, 0, 0};
  answer = {.scsiStatus = 0};
  answer.sense[1] = 0x44;  // zeros after it are left out and come back
  records.push_back({request, answer});
  request.direction = 7;  // a direction the block should never carry is kept as it was
  request.dataOut = {};
  records.push_back({request, {}});

  std::string text = "# a comment\r\n" + FormatHeaderLines({.emulated = true, .command = "check"});
  for (const auto& [call, a] : records) text += FormatRecord(call, a) + "\r\n";
  text += FormatResult(3) + "\n";
  const Trace trace = Parse(text);
  EXPECT_TRUE(trace.header.emulated);
  EXPECT_TRUE(trace.header.deviceTree);
  EXPECT_EQ(trace.header.command, "check");
  ASSERT_EQ(trace.records.size(), records.size());
  for (std::size_t i = 0; i < records.size(); ++i) {
    SCOPED_TRACE(FormatRecord(records[i].first, records[i].second));
    const Record& got = trace.records[i];
    const Answer& want = records[i].second;
    EXPECT_EQ(got.line, i + 6);
    EXPECT_EQ(got.call, records[i].first);
    EXPECT_EQ(got.answer.ok, want.ok);
    EXPECT_EQ(got.answer.cause, want.cause);
    EXPECT_EQ(got.answer.setSize, want.setSize);
    EXPECT_EQ(got.answer.text, want.text);
    EXPECT_EQ(got.answer.details.description, want.details.description);
    EXPECT_EQ(got.answer.details.parentInstanceId, want.details.parentInstanceId);
    EXPECT_EQ(got.answer.details.hubNumber, want.details.hubNumber);
    EXPECT_EQ(got.answer.details.portNumber, want.details.portNumber);
    EXPECT_EQ(got.answer.scsiStatus, want.scsiStatus);
    EXPECT_EQ(got.answer.sense, want.sense);
    EXPECT_EQ(got.answer.dataIn, want.dataIn);
    EXPECT_EQ(got.answer.elapsedMs, want.elapsedMs);
  }
  EXPECT_EQ(trace.result, 3);
  // No text field can break a line into more words than it has.
  EXPECT_EQ(FormatRecord(records[2].first, records[2].second).find(' ', 14), std::string::npos);
}

TEST(TraceFormat, ADamagedTraceIsRefusedAtItsLine) {
  const std::string head = "tr350-trace 1\n";
  const std::string good = "set-id 1 0 -> \"a\"\n";
  struct Case {
    std::string text;
    std::size_t line;
    std::string_view message;
  };
  for (const Case& c : std::vector<Case>{
           {"", 0, "empty"},
           {"machine real\n", 1, "first line"},
           {"tr350-trace 2\n", 1, "version '2' is not supported"},
           {head + good + "frobnicate 1 -> ok\n", 3, "unknown record kind"},
           {head + "set-id 1 0 \"a\"\n", 2, "\"->\""},
           {head + "request 1 cdb=E8 dir=in length=1 buffer=1 timeout=5 sense-length=32 -> ok "
                   "status=0 in=ABC ms=0\n",
            2, "in is not hex"},
           {head + "request 1 cdb=E8 dir=in length=1 buffer=1 timeout=5 sense-length=32 -> ok "
                   "status=0 colour=red ms=0\n",
            2, "unknown field colour"},
           {head + "request 1 cdb=E8 dir=in length=1 length=2 buffer=1 timeout=5 sense-length=32 "
                   "-> ok status=0 ms=0\n",
            2, "given twice"},
           {head + "request 1 cdb=E8 dir=in length=1 buffer=1 timeout=5 sense-length=32 -> ok "
                   "status=256 ms=0\n",
            2, "not a valid status"},
           {head + "child \"a%4\" -> -\n", 2, "not a quoted text"},
           {head + "child \"%C0%80\" -> -\n", 2, "not a quoted text"},  // an overlong NUL
           {head + "result 0\n" + good, 3, "nothing may follow"},
       }) {
    SCOPED_TRACE(c.text);
    std::istringstream in(c.text);
    const ParseResult parsed = ParseTrace(in);
    EXPECT_FALSE(parsed.trace);
    EXPECT_EQ(parsed.error.line, c.line);
    EXPECT_NE(parsed.error.message.find(c.message), std::string::npos) << parsed.error.message;
  }
}

TEST(TraceFormat, TheFirstDifferenceIsNamedByFieldAndByte) {
  const Call traced{.kind = CallKind::kRequest,
                    .handle = 1,
                    .cdb = {0xE7, 0x00, 0x20},
                    .direction = kDataOut,
                    .transferLength = 40,
                    .bufferSize = 40,
                    .timeoutSeconds = 5,
                    .senseLength = 32,
                    .dataOut = std::vector<std::uint8_t>(40, 0xAA)};
  EXPECT_EQ(FirstDifference(traced, traced), "");
  Call sent = traced;
  sent.cdb[2] = 0x21;
  EXPECT_EQ(FirstDifference(traced, sent), "cdb byte 2: trace 20, tool 21");
  sent = traced;
  sent.dataOut[39] = 0xAB;
  EXPECT_EQ(FirstDifference(traced, sent), "out byte 39: trace AA, tool AB");
  sent = traced;
  sent.dataOut.resize(20);
  sent.transferLength = 20;
  EXPECT_EQ(FirstDifference(traced, sent), "length: trace 40, tool 20");
  sent = Call{.kind = CallKind::kSetOpen, .handle = 1};
  EXPECT_EQ(FirstDifference(traced, sent),
            "the trace has a request call, the tool made a set-open call");
  // Long data is shown by its first bytes and its size.
  EXPECT_NE(SummarizeCall(traced).find("out=" + std::string(64, 'A') + "...(40 bytes)"),
            std::string::npos)
      << SummarizeCall(traced);
}

}  // namespace
}  // namespace tr350::platform::trace
