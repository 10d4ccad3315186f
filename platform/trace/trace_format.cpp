// Writing and reading trace lines: texts as percent-encoded UTF-8 in quotes, data as hex, one
// record per line with its positional fields, "->", and its answer's fields.
#include "platform/trace/trace_format.h"

#include <algorithm>
#include <charconv>
#include <map>
#include <span>
#include <system_error>
#include <utility>

namespace tr350::platform::trace {
namespace {

// ---- Names -----------------------------------------------------------------------------------

struct KindName {
  CallKind kind;
  std::string_view name;
};
// One table for writing and reading the record kinds.
constexpr std::array<KindName, 8> kKindNames = {{
    {CallKind::kSetOpen, "set-open"},
    {CallKind::kSetId, "set-id"},
    {CallKind::kSetPath, "set-path"},
    {CallKind::kChild, "child"},
    {CallKind::kSibling, "sibling"},
    {CallKind::kDetails, "details"},
    {CallKind::kDiskOpen, "disk-open"},
    {CallKind::kRequest, "request"},
}};

std::string_view KindText(CallKind kind) {
  for (const KindName& k : kKindNames) {
    if (k.kind == kind) return k.name;
  }
  return "?";
}

std::optional<CallKind> KindFrom(std::string_view name) {
  for (const KindName& k : kKindNames) {
    if (k.name == name) return k.kind;
  }
  return std::nullopt;
}

std::string_view ClassText(InterfaceClass c) {
  return c == InterfaceClass::kUsbDevice ? "usb" : "disk";
}

// ---- Encodings -------------------------------------------------------------------------------

constexpr std::string_view kHexDigits = "0123456789ABCDEF";

void AppendHexByte(std::string& out, std::uint8_t byte) {
  out += kHexDigits[byte >> 4];
  out += kHexDigits[byte & 0x0F];
}

std::string Hex(std::span<const std::uint8_t> bytes, std::size_t shortenAfter = 0) {
  std::string out;
  const bool shorten = shortenAfter != 0 && bytes.size() > shortenAfter;
  const std::size_t shown = shorten ? shortenAfter : bytes.size();
  out.reserve(shown * 2 + 24);
  for (std::size_t i = 0; i < shown; ++i) AppendHexByte(out, bytes[i]);
  if (shorten) out += "...(" + std::to_string(bytes.size()) + " bytes)";
  return out;
}

std::optional<std::uint8_t> HexValue(char c) {
  if (c >= '0' && c <= '9') return static_cast<std::uint8_t>(c - '0');
  if (c >= 'A' && c <= 'F') return static_cast<std::uint8_t>(c - 'A' + 10);
  if (c >= 'a' && c <= 'f') return static_cast<std::uint8_t>(c - 'a' + 10);
  return std::nullopt;
}

std::optional<std::vector<std::uint8_t>> FromHex(std::string_view text) {
  if (text.size() % 2 != 0) return std::nullopt;
  std::vector<std::uint8_t> bytes;
  bytes.reserve(text.size() / 2);
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const auto high = HexValue(text[i]);
    const auto low = HexValue(text[i + 1]);
    if (!high || !low) return std::nullopt;
    bytes.push_back(static_cast<std::uint8_t>((*high << 4) | *low));
  }
  return bytes;
}

// A byte that stands for itself inside a quoted text; all others are written %XX, so that a text
// never holds a space, a quote or a control character.
bool PlainByte(unsigned char c) {
  return c > 0x20 && c < 0x7F && c != '%' && c != '"';
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// UTF-8 of the text; a lone surrogate (which an OS may hand out) is kept as its own three-byte
// form, so that every UTF-16 text comes back exactly.
std::string Utf8Of(std::u16string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t cp = text[i];
    if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] < 0xE000) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    }
    AppendUtf8(out, cp);
  }
  return out;
}

std::optional<std::u16string> Utf16Of(std::string_view bytes) {
  std::u16string out;
  std::size_t i = 0;
  while (i < bytes.size()) {
    const auto lead = static_cast<unsigned char>(bytes[i]);
    const std::size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
    if ((lead >= 0x80 && lead < 0xC2) || lead > 0xF4 || i + length > bytes.size()) {
      return std::nullopt;
    }
    char32_t cp = length == 1 ? lead : lead & (0x7F >> length);
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(bytes[i + k]);
      if ((next & 0xC0) != 0x80) return std::nullopt;
      cp = (cp << 6) | (next & 0x3F);
    }
    constexpr std::array<char32_t, 5> kLeast = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kLeast[length] || cp > 0x10FFFF) return std::nullopt;
    if (cp >= 0x10000) {
      out += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
      out += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
    i += length;
  }
  return out;
}

// Bytes in quotes; the names of causes and commands are kept byte for byte this way.
std::string QuotedBytes(std::string_view bytes) {
  std::string out = "\"";
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (PlainByte(byte)) {
      out += c;
    } else {
      out += '%';
      AppendHexByte(out, byte);
    }
  }
  out += '"';
  return out;
}

std::string Quoted(std::u16string_view text) {
  return QuotedBytes(Utf8Of(text));
}

std::string OptionalText(const std::optional<std::u16string>& text) {
  return text ? Quoted(*text) : std::string("-");
}

std::optional<std::string> UnquotedBytes(std::string_view token) {
  if (token.size() < 2 || token.front() != '"' || token.back() != '"') return std::nullopt;
  token = token.substr(1, token.size() - 2);
  std::string bytes;
  for (std::size_t i = 0; i < token.size(); ++i) {
    const auto c = static_cast<unsigned char>(token[i]);
    if (c == '%') {
      if (i + 2 >= token.size()) return std::nullopt;
      const auto high = HexValue(token[i + 1]);
      const auto low = HexValue(token[i + 2]);
      if (!high || !low) return std::nullopt;
      bytes += static_cast<char>((*high << 4) | *low);
      i += 2;
    } else if (PlainByte(c)) {
      bytes += static_cast<char>(c);
    } else {
      return std::nullopt;
    }
  }
  return bytes;
}

std::optional<std::u16string> Unquoted(std::string_view token) {
  const std::optional<std::string> bytes = UnquotedBytes(token);
  return bytes ? Utf16Of(*bytes) : std::nullopt;
}

template <typename T>
std::optional<T> Number(std::string_view text) {
  T value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

// ---- Causes ----------------------------------------------------------------------------------

void AppendCause(std::string& out, const CauseRecord& cause) {
  out += " cause=" + QuotedBytes(cause.operation);
  if (cause.osError != 0) out += " errno=" + std::to_string(cause.osError);
  if (!cause.detail.empty()) out += " detail=" + QuotedBytes(cause.detail);
  if (cause.scsiStatus) out += " cause-status=" + std::to_string(*cause.scsiStatus);
  if (cause.hostStatus != 0) out += " host=" + std::to_string(cause.hostStatus);
  if (cause.driverStatus != 0) out += " driver=" + std::to_string(cause.driverStatus);
  if (cause.sense) {
    out += " cause-sense=";
    AppendHexByte(out, cause.sense->key);
    out += '/';
    AppendHexByte(out, cause.sense->asc);
    out += '/';
    AppendHexByte(out, cause.sense->ascq);
  }
}

// ---- Writing ---------------------------------------------------------------------------------

std::string FormatCallShortened(const Call& call, std::size_t shortenAfter) {
  std::string out(KindText(call.kind));
  switch (call.kind) {
    case CallKind::kSetOpen:
      out += " " + std::to_string(call.handle) + " " + std::string(ClassText(call.interfaceClass));
      break;
    case CallKind::kSetId:
    case CallKind::kSetPath:
      out += " " + std::to_string(call.handle) + " " + std::to_string(call.member);
      break;
    case CallKind::kChild:
    case CallKind::kSibling:
    case CallKind::kDetails:
      out += " " + Quoted(call.text);
      break;
    case CallKind::kDiskOpen:
      out += " " + std::to_string(call.handle) + " " + Quoted(call.text);
      break;
    case CallKind::kRequest:
      out += " " + std::to_string(call.handle) + " cdb=" + Hex(call.cdb) + " dir=";
      out += call.direction == kDataIn    ? std::string("in")
             : call.direction == kDataOut ? std::string("out")
                                          : std::to_string(call.direction);
      out += " length=" + std::to_string(call.transferLength) +
             " buffer=" + std::to_string(call.bufferSize) +
             " timeout=" + std::to_string(call.timeoutSeconds) +
             " sense-length=" + std::to_string(call.senseLength);
      if (!call.dataOut.empty()) out += " out=" + Hex(call.dataOut, shortenAfter);
      break;
  }
  return out;
}

}  // namespace

Call RequestCall(std::uint32_t disk, const PassThroughRequest& request,
                 std::span<const std::uint8_t> buffer) {
  Call call{.kind = CallKind::kRequest, .handle = disk};
  call.cdb.assign(request.Cdb,
                  request.Cdb + std::min<std::size_t>(request.CdbLength, sizeof request.Cdb));
  call.direction = request.DataIn;
  call.transferLength = request.DataTransferLength;
  call.bufferSize = buffer.size();
  call.timeoutSeconds = request.TimeOutValue;
  call.senseLength = request.SenseInfoLength;
  if (request.DataIn != kDataIn) {
    call.dataOut.assign(buffer.begin(),
                        buffer.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(
                                             request.DataTransferLength, buffer.size())));
  }
  return call;
}

CauseRecord ToRecord(const Cause& cause) {
  return {std::string(cause.operation),
          cause.osError,
          std::string(cause.detail),
          cause.scsiStatus,
          cause.hostStatus,
          cause.driverStatus,
          cause.sense};
}

std::string FormatVersionLine() {
  return std::string(kFormatName) + " " + std::to_string(kFormatVersion);
}

std::string FormatHeaderLines(const Header& header) {
  std::string out = FormatVersionLine() + "\n";
  out += std::string("machine ") + (header.emulated ? "emulated" : "real") + "\n";
  out += std::string("device-tree ") + (header.deviceTree ? "yes" : "no") + "\n";
  if (!header.command.empty()) out += "command " + QuotedBytes(header.command) + "\n";
  return out;
}

std::string FormatCall(const Call& call) {
  return FormatCallShortened(call, 0);
}

std::string SummarizeCall(const Call& call) {
  return FormatCallShortened(call, 32);
}

std::string FormatRecord(const Call& call, const Answer& answer) {
  std::string out = FormatCall(call) + " ->";
  const std::string ms = " ms=" + std::to_string(answer.elapsedMs);
  switch (call.kind) {
    case CallKind::kSetOpen:
      out += answer.ok ? " ok size=" + std::to_string(answer.setSize) : std::string(" failed");
      if (answer.cause) AppendCause(out, *answer.cause);
      out += ms;
      break;
    case CallKind::kSetId:
    case CallKind::kSetPath:
    case CallKind::kChild:
    case CallKind::kSibling:
      out += " " + OptionalText(answer.text);
      break;
    case CallKind::kDetails:
      out += " description=" + Quoted(answer.details.description) +
             " manufacturer=" + Quoted(answer.details.manufacturer) +
             " parent=" + Quoted(answer.details.parentInstanceId) +
             " hub=" + std::to_string(answer.details.hubNumber) +
             " port=" + std::to_string(answer.details.portNumber);
      break;
    case CallKind::kDiskOpen:
      out += answer.ok ? " ok" : " failed";
      if (answer.cause) AppendCause(out, *answer.cause);
      out += ms;
      break;
    case CallKind::kRequest: {
      out += answer.ok ? " ok" : " failed";
      out += " status=" + std::to_string(answer.scsiStatus);
      // Trailing zeros of the sense area are left out; a reader fills them back in.
      const auto used = std::find_if(answer.sense.rbegin(), answer.sense.rend(),
                                     [](std::uint8_t b) { return b != 0; });
      const auto senseBytes = static_cast<std::size_t>(answer.sense.rend() - used);
      if (senseBytes != 0) out += " sense=" + Hex(std::span(answer.sense).first(senseBytes));
      if (!answer.dataIn.empty()) out += " in=" + Hex(answer.dataIn);
      if (answer.cause) AppendCause(out, *answer.cause);
      out += ms;
      break;
    }
  }
  return out;
}

std::string FormatResult(int status) {
  return "result " + std::to_string(status);
}

// ---- Reading ---------------------------------------------------------------------------------

namespace {

// One line cut into its words: the positional ones, then key=value fields, on each side of "->".
class Fields {
 public:
  explicit Fields(std::string_view line) {
    bool answer = false;
    std::size_t at = 0;
    while (at < line.size()) {
      const std::size_t end = std::min(line.find(' ', at), line.size());
      const std::string_view word = line.substr(at, end - at);
      at = end + 1;
      if (word.empty()) continue;
      if (word == "->") {
        answer = true;
        continue;
      }
      Side& side = answer ? answer_ : call_;
      const std::size_t eq = word.find('=');
      if (eq == std::string_view::npos || word.front() == '"') {
        side.words.push_back(word);
      } else if (!side.fields.emplace(word.substr(0, eq), word.substr(eq + 1)).second) {
        duplicate_ = std::string(word.substr(0, eq));
      }
    }
    hasArrow_ = answer;
  }

  std::span<const std::string_view> CallWords() const { return call_.words; }
  std::span<const std::string_view> AnswerWords() const { return answer_.words; }
  bool HasArrow() const { return hasArrow_; }
  const std::string& Duplicate() const { return duplicate_; }

  // Takes a field off a side; nullopt when it is not there.
  std::optional<std::string_view> Take(bool answerSide, std::string_view key) {
    auto& fields = answerSide ? answer_.fields : call_.fields;
    const auto it = fields.find(key);
    if (it == fields.end()) return std::nullopt;
    const std::string_view value = it->second;
    fields.erase(it);
    return value;
  }
  // A field left over after the record took what it knows; empty when none.
  std::string Leftover() const {
    for (const Side* side : {&call_, &answer_}) {
      if (!side->fields.empty()) return std::string(side->fields.begin()->first);
    }
    return {};
  }

 private:
  struct Side {
    std::vector<std::string_view> words;
    std::map<std::string_view, std::string_view, std::less<>> fields;
  };
  Side call_;
  Side answer_;
  bool hasArrow_ = false;
  std::string duplicate_;
};

// Reads the fields of one record; the first problem is kept as the message.
class RecordReader {
 public:
  explicit RecordReader(std::string_view line) : fields_(line) {}

  std::optional<Record> Read() {
    const auto words = fields_.CallWords();
    if (words.empty() || !fields_.HasArrow()) return Fail("a record needs its answer after \"->\"");
    if (!fields_.Duplicate().empty()) return Fail("field " + fields_.Duplicate() + " given twice");
    const auto kind = KindFrom(words[0]);
    if (!kind) return Fail("unknown record kind '" + std::string(words[0]) + "'");
    Record record;
    record.call.kind = *kind;
    if (!ReadCall(record.call) || !ReadAnswer(record)) return std::nullopt;
    if (const std::string left = fields_.Leftover(); !left.empty()) {
      return Fail("unknown field " + left);
    }
    return record;
  }
  const std::string& Message() const { return message_; }

 private:
  std::nullopt_t Fail(std::string message) {
    if (message_.empty()) message_ = std::move(message);
    return std::nullopt;
  }

  bool Words(std::span<const std::string_view> words, std::size_t count, std::string_view what) {
    if (words.size() == count) return true;
    Fail("expected " + std::to_string(count) + " " + std::string(what) + " word(s), found " +
         std::to_string(words.size()));
    return false;
  }

  template <typename T>
  bool NumberWord(std::string_view word, T& value, std::string_view what) {
    const auto n = Number<T>(word);
    if (!n) {
      Fail("'" + std::string(word) + "' is not a valid " + std::string(what));
      return false;
    }
    value = *n;
    return true;
  }

  bool TextWord(std::string_view word, std::u16string& text) {
    const auto value = Unquoted(word);
    if (!value) {
      Fail("'" + std::string(word) + "' is not a quoted text");
      return false;
    }
    text = *value;
    return true;
  }

  bool OptionalTextWord(std::string_view word, std::optional<std::u16string>& text) {
    if (word == "-") {
      text.reset();
      return true;
    }
    std::u16string value;
    if (!TextWord(word, value)) return false;
    text = std::move(value);
    return true;
  }

  template <typename T>
  bool NumberField(bool answerSide, std::string_view key, T& value, bool required = true) {
    const auto text = fields_.Take(answerSide, key);
    if (!text) return !required || (Fail("field " + std::string(key) + " missing"), false);
    return NumberWord(*text, value, std::string(key));
  }

  bool HexField(bool answerSide, std::string_view key, std::vector<std::uint8_t>& bytes,
                bool required) {
    const auto text = fields_.Take(answerSide, key);
    if (!text) return !required || (Fail("field " + std::string(key) + " missing"), false);
    auto value = FromHex(*text);
    if (!value) return Fail("field " + std::string(key) + " is not hex"), false;
    bytes = std::move(*value);
    return true;
  }

  bool ReadCall(Call& call) {
    const auto words = fields_.CallWords().subspan(1);
    switch (call.kind) {
      case CallKind::kSetOpen:
        if (!Words(words, 2, "call") || !NumberWord(words[0], call.handle, "set number")) {
          return false;
        }
        if (words[1] != "usb" && words[1] != "disk")
          return Fail("class must be usb or disk"), false;
        call.interfaceClass =
            words[1] == "usb" ? InterfaceClass::kUsbDevice : InterfaceClass::kDisk;
        return true;
      case CallKind::kSetId:
      case CallKind::kSetPath:
        return Words(words, 2, "call") && NumberWord(words[0], call.handle, "set number") &&
               NumberWord(words[1], call.member, "member index");
      case CallKind::kChild:
      case CallKind::kSibling:
      case CallKind::kDetails:
        return Words(words, 1, "call") && TextWord(words[0], call.text);
      case CallKind::kDiskOpen:
        return Words(words, 2, "call") && NumberWord(words[0], call.handle, "disk number") &&
               TextWord(words[1], call.text);
      case CallKind::kRequest: {
        if (!Words(words, 1, "call") || !NumberWord(words[0], call.handle, "disk number")) {
          return false;
        }
        const auto dir = fields_.Take(false, "dir");
        if (!dir) return Fail("field dir missing"), false;
        if (*dir == "in") {
          call.direction = kDataIn;
        } else if (*dir == "out") {
          call.direction = kDataOut;
        } else if (!NumberWord(*dir, call.direction, "direction")) {
          return false;
        }
        return HexField(false, "cdb", call.cdb, true) &&
               NumberField(false, "length", call.transferLength) &&
               NumberField(false, "buffer", call.bufferSize) &&
               NumberField(false, "timeout", call.timeoutSeconds) &&
               NumberField(false, "sense-length", call.senseLength) &&
               HexField(false, "out", call.dataOut, false);
      }
    }
    return false;
  }

  bool Outcome(std::span<const std::string_view> words, Answer& answer) {
    if (words.empty() || (words[0] != "ok" && words[0] != "failed")) {
      return Fail("the answer must start with ok or failed"), false;
    }
    answer.ok = words[0] == "ok";
    return true;
  }

  bool ReadCause(Answer& answer) {
    const auto operation = fields_.Take(true, "cause");
    if (!operation) return true;
    CauseRecord cause;
    const auto name = UnquotedBytes(*operation);
    if (!name) return Fail("field cause is not a quoted text"), false;
    cause.operation = *name;
    if (const auto detail = fields_.Take(true, "detail")) {
      const auto text = UnquotedBytes(*detail);
      if (!text) return Fail("field detail is not a quoted text"), false;
      cause.detail = *text;
    }
    if (const auto status = fields_.Take(true, "cause-status")) {
      std::uint8_t value = 0;
      if (!NumberWord(*status, value, "cause-status")) return false;
      cause.scsiStatus = value;
    }
    if (const auto sense = fields_.Take(true, "cause-sense")) {
      const bool shaped = sense->size() == 8 && (*sense)[2] == '/' && (*sense)[5] == '/';
      const auto bytes =
          FromHex(shaped ? std::string(sense->substr(0, 2)) + std::string(sense->substr(3, 2)) +
                               std::string(sense->substr(6, 2))
                         : std::string("?"));
      if (!bytes) return Fail("field cause-sense must be KK/AA/QQ"), false;
      cause.sense = SenseCode{(*bytes)[0], (*bytes)[1], (*bytes)[2]};
    }
    if (!NumberField(true, "errno", cause.osError, false) ||
        !NumberField(true, "host", cause.hostStatus, false) ||
        !NumberField(true, "driver", cause.driverStatus, false)) {
      return false;
    }
    answer.cause = std::move(cause);
    return true;
  }

  bool ReadAnswer(Record& record) {
    const auto words = fields_.AnswerWords();
    Answer& answer = record.answer;
    switch (record.call.kind) {
      case CallKind::kSetOpen:
        if (!Outcome(words, answer) || !Words(words, 1, "answer") || !ReadCause(answer) ||
            !NumberField(true, "ms", answer.elapsedMs)) {
          return false;
        }
        return !answer.ok || NumberField(true, "size", answer.setSize);
      case CallKind::kSetId:
      case CallKind::kSetPath:
      case CallKind::kChild:
      case CallKind::kSibling:
        return Words(words, 1, "answer") && OptionalTextWord(words[0], answer.text);
      case CallKind::kDetails: {
        if (!Words(words, 0, "answer")) return false;
        DeviceNodeDetails& d = answer.details;
        for (auto [key, text] :
             {std::pair{"description", &d.description}, std::pair{"manufacturer", &d.manufacturer},
              std::pair{"parent", &d.parentInstanceId}}) {
          const auto value = fields_.Take(true, key);
          if (!value) return Fail("field " + std::string(key) + " missing"), false;
          if (!TextWord(*value, *text)) return false;
        }
        return NumberField(true, "hub", d.hubNumber) && NumberField(true, "port", d.portNumber);
      }
      case CallKind::kDiskOpen:
        return Outcome(words, answer) && Words(words, 1, "answer") && ReadCause(answer) &&
               NumberField(true, "ms", answer.elapsedMs);
      case CallKind::kRequest: {
        std::vector<std::uint8_t> sense;
        if (!Outcome(words, answer) || !Words(words, 1, "answer") ||
            !NumberField(true, "status", answer.scsiStatus) ||
            !HexField(true, "sense", sense, false) || !HexField(true, "in", answer.dataIn, false) ||
            !ReadCause(answer) || !NumberField(true, "ms", answer.elapsedMs)) {
          return false;
        }
        if (sense.size() > answer.sense.size()) return Fail("sense is over 32 bytes"), false;
        std::copy(sense.begin(), sense.end(), answer.sense.begin());
        return true;
      }
    }
    return false;
  }

  Fields fields_;
  std::string message_;
};

std::optional<bool> YesNo(std::string_view word) {
  if (word == "yes" || word == "emulated") return true;
  if (word == "no" || word == "real") return false;
  return std::nullopt;
}

}  // namespace

ParseResult ParseTrace(std::istream& in) {
  Trace trace;
  std::string text;
  std::size_t line = 0;
  bool versionSeen = false;
  const auto fail = [&](std::string message) {
    return ParseResult{std::nullopt, ParseError{line, std::move(message)}};
  };
  while (std::getline(in, text)) {
    ++line;
    if (!text.empty() && text.back() == '\r') text.pop_back();  // a copy with Windows line ends
    std::string_view view(text);
    if (view.empty() || view.front() == '#') continue;
    const std::string_view word = view.substr(0, view.find(' '));
    const std::string_view rest = view.size() > word.size() ? view.substr(word.size() + 1) : "";
    if (!versionSeen) {
      if (word != kFormatName) return fail("not a trace: the first line must be 'tr350-trace 1'");
      const auto version = Number<int>(rest);
      if (version != kFormatVersion) {
        return fail("trace format version '" + std::string(rest) + "' is not supported (this " +
                    "program reads version " + std::to_string(kFormatVersion) + ")");
      }
      versionSeen = true;
      continue;
    }
    if (trace.result) return fail("nothing may follow the result line");
    if (word == "machine" || word == "device-tree") {
      const auto value = YesNo(rest);
      if (!value) return fail("'" + std::string(rest) + "' is not a value of " + std::string(word));
      (word == "machine" ? trace.header.emulated : trace.header.deviceTree) = *value;
      continue;
    }
    if (word == "command") {
      const auto name = UnquotedBytes(rest);
      if (!name) return fail("the command must be a quoted text");
      trace.header.command = *name;
      continue;
    }
    if (word == "result") {
      const auto status = Number<int>(rest);
      if (!status) return fail("'" + std::string(rest) + "' is not an exit status");
      trace.result = *status;
      trace.resultLine = line;
      continue;
    }
    RecordReader reader(view);
    std::optional<Record> record = reader.Read();
    if (!record) return fail(reader.Message());
    record->line = line;
    trace.records.push_back(std::move(*record));
  }
  if (!versionSeen) return fail("the file is empty: not a trace");
  return {std::move(trace), {}};
}

// ---- Comparing -------------------------------------------------------------------------------

namespace {

std::string ByteDifference(std::string_view field, std::span<const std::uint8_t> traced,
                           std::span<const std::uint8_t> sent) {
  const auto [t, s] = std::mismatch(traced.begin(), traced.end(), sent.begin(), sent.end());
  std::string out(field);
  if (t != traced.end() && s != sent.end()) {
    out += " byte " + std::to_string(t - traced.begin()) + ": trace ";
    AppendHexByte(out, *t);
    out += ", tool ";
    AppendHexByte(out, *s);
    return out;
  }
  return out + ": trace " + std::to_string(traced.size()) + " bytes, tool " +
         std::to_string(sent.size()) + " bytes";
}

template <typename T>
std::string ValueDifference(std::string_view field, T traced, T sent) {
  return std::string(field) + ": trace " + std::to_string(traced) + ", tool " +
         std::to_string(sent);
}

}  // namespace

std::string FirstDifference(const Call& traced, const Call& sent) {
  if (traced.kind != sent.kind) {
    return "the trace has a " + std::string(KindText(traced.kind)) + " call, the tool made a " +
           std::string(KindText(sent.kind)) + " call";
  }
  if (traced.handle != sent.handle) {
    return ValueDifference(traced.kind == CallKind::kRequest || traced.kind == CallKind::kDiskOpen
                               ? "disk number"
                               : "set number",
                           traced.handle, sent.handle);
  }
  if (traced.interfaceClass != sent.interfaceClass) return "the device class";
  if (traced.member != sent.member) return ValueDifference("member", traced.member, sent.member);
  if (traced.text != sent.text) {
    return traced.kind == CallKind::kDiskOpen ? "the disk's path" : "the device node";
  }
  if (traced.cdb != sent.cdb) return ByteDifference("cdb", traced.cdb, sent.cdb);
  if (traced.direction != sent.direction) {
    return ValueDifference("direction", int{traced.direction}, int{sent.direction});
  }
  if (traced.transferLength != sent.transferLength) {
    return ValueDifference("length", traced.transferLength, sent.transferLength);
  }
  if (traced.bufferSize != sent.bufferSize) {
    return ValueDifference("buffer", traced.bufferSize, sent.bufferSize);
  }
  if (traced.timeoutSeconds != sent.timeoutSeconds) {
    return ValueDifference("timeout", traced.timeoutSeconds, sent.timeoutSeconds);
  }
  if (traced.senseLength != sent.senseLength) {
    return ValueDifference("sense-length", int{traced.senseLength}, int{sent.senseLength});
  }
  if (traced.dataOut != sent.dataOut) return ByteDifference("out", traced.dataOut, sent.dataOut);
  return {};
}

}  // namespace tr350::platform::trace
