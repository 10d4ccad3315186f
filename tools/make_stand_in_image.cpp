// Writes the stand-in firmware image that the tool carries when no vendor image is given: the
// built-in image's exact shape (header, FW1 of 100 pages, FW2 of 142 pages, no configuration
// block) with version stamps of its own and deterministic, non-repeating code bytes around them.
#include <array>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace {

constexpr std::size_t kHeaderSize = 512;
constexpr std::uint16_t kFw1Pages = 100;
constexpr std::uint16_t kFw2Pages = 142;
constexpr std::size_t kFw1Size = kFw1Pages * 256u;
constexpr std::size_t kFw2Size = kFw2Pages * 256u;

// The FW1 stamp continues after its fifth field, so only a 52-byte window splits into five.
constexpr std::string_view kFw1Stamp = "USB 3.0 SD Card Reader_RZ6104_TR350A01_20170324_0218_REL";
constexpr std::size_t kFw1StampOffset = 0x0C40;
// The FW2 stamp is 66 characters followed by zero bytes.
constexpr std::string_view kFw2Stamp =
    "Lightning SD Card Reader_RZ6104_TR350A01_20170517_02418AC080038003";
constexpr std::size_t kFw2StampOffset = 0x1A30;

void PutLe16(std::vector<std::uint8_t>& out, std::size_t at, std::uint16_t v) {
  out[at] = static_cast<std::uint8_t>(v & 0xFF);
  out[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

void PutBe16(std::vector<std::uint8_t>& out, std::size_t at, std::uint16_t v) {
  out[at] = static_cast<std::uint8_t>(v >> 8);
  out[at + 1] = static_cast<std::uint8_t>(v & 0xFF);
}

// One USB string descriptor: length, type 3, UTF-16LE text.
std::size_t PutStringDescriptor(std::vector<std::uint8_t>& out, std::size_t at,
                                std::string_view text) {
  const std::size_t length = 2 + 2 * text.size();
  out[at] = static_cast<std::uint8_t>(length);
  out[at + 1] = 0x03;
  for (std::size_t i = 0; i < text.size(); ++i) {
    out[at + 2 + 2 * i] = static_cast<std::uint8_t>(text[i]);
    out[at + 3 + 2 * i] = 0;
  }
  return at + length;
}

// A 32-bit xorshift stream: deterministic, and no run of it repeats within an image.
class ByteStream {
 public:
  explicit ByteStream(std::uint32_t seed) : state_(seed) {}
  std::uint8_t Next() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 17;
    state_ ^= state_ << 5;
    return static_cast<std::uint8_t>(state_ >> 24);
  }

 private:
  std::uint32_t state_;
};

std::size_t CountOccurrences(const std::vector<std::uint8_t>& image, std::string_view what) {
  std::size_t count = 0;
  for (std::size_t i = 0; i + what.size() <= image.size(); ++i) {
    if (std::equal(what.begin(), what.end(), image.begin() + static_cast<std::ptrdiff_t>(i),
                   [](char a, std::uint8_t b) { return static_cast<std::uint8_t>(a) == b; })) {
      ++count;
    }
  }
  return count;
}

std::vector<std::uint8_t> MakeImage() {
  std::vector<std::uint8_t> image(kHeaderSize + kFw1Size + kFw2Size, 0xFF);

  PutLe16(image, 0, 0x2A7E);  // signature
  PutLe16(image, 2, 0x3C51);  // USB vendor
  PutLe16(image, 4, 0x4D08);  // USB product
  PutBe16(image, 10, kFw1Pages);
  PutBe16(image, 12, kFw2Pages);
  PutLe16(image, 14, 1);  // update counter
  std::size_t at = 16;
  image[at++] = 0x04;  // language list: English (United States)
  image[at++] = 0x03;
  image[at++] = 0x09;
  image[at++] = 0x04;
  at = PutStringDescriptor(image, at, "TR350 Project");
  at = PutStringDescriptor(image, at, "TR350 USB SD Card Reader");
  PutStringDescriptor(image, at, "TR350000000001");

  ByteStream fw1(0x7E2A3C51u);
  for (std::size_t i = 0; i < kFw1Size; ++i) image[kHeaderSize + i] = fw1.Next();
  ByteStream fw2(0x4D08C0DEu);
  for (std::size_t i = 0; i < kFw2Size; ++i) image[kHeaderSize + kFw1Size + i] = fw2.Next();

  auto place = [&](std::size_t offset, std::string_view text, std::size_t zeros) {
    for (std::size_t i = 0; i < text.size(); ++i) {
      image[offset + i] = static_cast<std::uint8_t>(text[i]);
    }
    for (std::size_t i = 0; i < zeros; ++i) image[offset + text.size() + i] = 0;
  };
  place(kHeaderSize + kFw1StampOffset, kFw1Stamp, 1);
  place(kHeaderSize + kFw1Size + kFw2StampOffset, kFw2Stamp, 2);
  return image;
}

bool InStamp(std::size_t offset) {
  const std::size_t fw1 = kHeaderSize + kFw1StampOffset;
  const std::size_t fw2 = kHeaderSize + kFw1Size + kFw2StampOffset;
  return (offset >= fw1 && offset < fw1 + kFw1Stamp.size() + 1) ||
         (offset >= fw2 && offset < fw2 + kFw2Stamp.size() + 2);
}

// The properties tests rely on: each marker once, and no 8-byte run of the filler code twice
// (the two stamps share their chip and build fields, so runs that touch a stamp are skipped).
bool SelfCheck(const std::vector<std::uint8_t>& image) {
  if (CountOccurrences(image, "USB 3.0 SD Card Reader") != 1 ||
      CountOccurrences(image, "Lightning SD Card Reader") != 1) {
    std::cerr << "make_stand_in_image: a version marker does not occur exactly once\n";
    return false;
  }
  std::unordered_set<std::uint64_t> seen;
  for (std::size_t i = kHeaderSize; i + 8 <= image.size(); ++i) {
    if (InStamp(i) || InStamp(i + 7)) continue;
    std::uint64_t run = 0;
    for (std::size_t k = 0; k < 8; ++k) run = (run << 8) | image[i + k];
    if (!seen.insert(run).second) {
      std::cerr << "make_stand_in_image: code bytes repeat at offset " << i << "\n";
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: make_stand_in_image OUTPUT\n";
    return 2;
  }
  const std::vector<std::uint8_t> image = MakeImage();
  if (!SelfCheck(image)) return 1;
  std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(image.data()),
            static_cast<std::streamsize>(image.size()));
  out.close();
  if (!out) {
    std::cerr << "make_stand_in_image: cannot write " << argv[1] << "\n";
    return 1;
  }
  return 0;
}
