// Packs resources into the directory that the Linux build embeds in the program file: a magic,
// an entry count, {type, id, offset, size} entries and the data, all little-endian. A version
// resource is written in the Windows VS_VERSIONINFO form (root block with VS_FIXEDFILEINFO).
#include <array>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Entry {
  std::uint16_t type;
  std::uint16_t id;
  std::vector<std::uint8_t> data;
};

void Le16(std::vector<std::uint8_t>& out, std::uint32_t v) {
  out.push_back(static_cast<std::uint8_t>(v & 0xFF));
  out.push_back(static_cast<std::uint8_t>((v >> 8) & 0xFF));
}

void Le32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  Le16(out, v & 0xFFFF);
  Le16(out, v >> 16);
}

bool ParseVersion(const std::string& text, std::array<std::uint16_t, 4>& parts) {
  std::istringstream in(text);
  std::string piece;
  for (std::size_t i = 0; i < 4; ++i) {
    if (!std::getline(in, piece, '.') || piece.empty()) return false;
    char* end = nullptr;
    const unsigned long v = std::strtoul(piece.c_str(), &end, 10);
    if (*end != '\0' || v > 0xFFFF) return false;
    parts[i] = static_cast<std::uint16_t>(v);
  }
  return in.peek() == std::char_traits<char>::eof();
}

std::vector<std::uint8_t> VersionResource(const std::array<std::uint16_t, 4>& v) {
  const std::u16string key = u"VS_VERSION_INFO";
  std::vector<std::uint8_t> out;
  Le16(out, 0);   // wLength, patched below
  Le16(out, 52);  // wValueLength: sizeof(VS_FIXEDFILEINFO)
  Le16(out, 0);   // wType: binary
  for (char16_t c : key) Le16(out, c);
  Le16(out, 0);
  while (out.size() % 4 != 0) out.push_back(0);
  const std::uint32_t ms = (std::uint32_t{v[0]} << 16) | v[1];
  const std::uint32_t ls = (std::uint32_t{v[2]} << 16) | v[3];
  for (std::uint32_t field :
       {0xFEEF04BDu, 0x00010000u, ms, ls, ms, ls, 0x3Fu, 0u, 0x00040004u, 1u, 0u, 0u, 0u}) {
    Le32(out, field);
  }
  out[0] = static_cast<std::uint8_t>(out.size() & 0xFF);
  out[1] = static_cast<std::uint8_t>(out.size() >> 8);
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<Entry> entries;
  std::string output;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-o" && i + 1 < argc) {
      output = argv[++i];
    } else if (arg == "--version" && i + 1 < argc) {
      std::array<std::uint16_t, 4> v{};
      if (!ParseVersion(argv[++i], v)) {
        std::cerr << "pack_resources: bad version " << argv[i] << "\n";
        return 2;
      }
      entries.push_back({16, 1, VersionResource(v)});
    } else if (arg == "--resource" && i + 3 < argc) {
      const auto type = static_cast<std::uint16_t>(std::strtoul(argv[i + 1], nullptr, 10));
      const auto id = static_cast<std::uint16_t>(std::strtoul(argv[i + 2], nullptr, 10));
      std::ifstream in(argv[i + 3], std::ios::binary);
      if (!in) {
        std::cerr << "pack_resources: cannot read " << argv[i + 3] << "\n";
        return 1;
      }
      entries.push_back({type, id, {std::istreambuf_iterator<char>(in), {}}});
      i += 3;
    } else {
      std::cerr << "usage: pack_resources -o OUT [--version A.B.C.D] "
                   "[--resource TYPE ID FILE]...\n";
      return 2;
    }
  }
  if (output.empty()) {
    std::cerr << "pack_resources: no output given\n";
    return 2;
  }

  std::vector<std::uint8_t> blob = {'T', 'R', '3', '5', 'R', 'S', 'R', 'C'};
  Le32(blob, static_cast<std::uint32_t>(entries.size()));
  std::uint32_t offset = static_cast<std::uint32_t>(blob.size() + 12 * entries.size());
  for (const Entry& e : entries) {
    offset = (offset + 3u) & ~3u;
    Le16(blob, e.type);
    Le16(blob, e.id);
    Le32(blob, offset);
    Le32(blob, static_cast<std::uint32_t>(e.data.size()));
    offset += static_cast<std::uint32_t>(e.data.size());
  }
  for (const Entry& e : entries) {
    while (blob.size() % 4 != 0) blob.push_back(0);
    blob.insert(blob.end(), e.data.begin(), e.data.end());
  }
  std::ofstream out(output, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(blob.data()), static_cast<std::streamsize>(blob.size()));
  return out ? 0 : 1;
}
