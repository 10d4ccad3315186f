// Finding and splitting the version stamps of the code sections.
#include "image/version_stamp.h"

#include <algorithm>
#include <vector>

namespace tr350 {
namespace {

constexpr std::size_t kVersionLength = 12;

// The stamp bytes are ASCII; a byte outside it keeps its value as a code unit (Latin-1), so no
// byte is lost or merged on the way to text.
std::u16string WindowToText(std::span<const std::uint8_t> window) {
  std::u16string text;
  for (std::uint8_t b : window) {
    if (b == 0) break;
    text.push_back(static_cast<char16_t>(b));
  }
  return text;
}

}  // namespace

bool FindMarker(std::span<const std::uint8_t> section, std::string_view marker,
                std::span<std::uint8_t> window) {
  if (section.data() == nullptr || marker.data() == nullptr) return false;
  const std::size_t n = marker.size();
  if (n > section.size()) return false;
  const auto* markerBytes = reinterpret_cast<const std::uint8_t*>(marker.data());
  const auto match = std::search(section.begin(), section.end(), markerBytes, markerBytes + n);
  if (match == section.end()) return false;
  // Copy what the section holds from the match; the rest of the window is not part of the image.
  const auto available = static_cast<std::size_t>(section.end() - match);
  const std::size_t copied = std::min(available, window.size());
  std::copy_n(match, copied, window.begin());
  std::fill(window.begin() + static_cast<std::ptrdiff_t>(copied), window.end(), 0);
  return true;
}

std::u16string SplitVersionMarker(std::u16string_view text, char16_t separator) {
  std::vector<std::u16string_view> fields;
  std::size_t start = 0;
  while (true) {
    const std::size_t cut = text.find(separator, start);
    fields.push_back(text.substr(start, cut == std::u16string_view::npos ? cut : cut - start));
    if (cut == std::u16string_view::npos) break;
    start = cut + 1;
  }
  if (fields.size() != 5) return {};
  std::u16string version(fields[3]);
  version += fields[4];
  if (version.size() > kVersionLength) version.resize(kVersionLength);
  return version;
}

std::u16string GetFirmwareVersion(int which, FirmwareImage& image) {
  std::span<const std::uint8_t> section;
  std::string_view marker;
  std::size_t windowSize = 0;
  if (which == 1) {
    section = std::span<const std::uint8_t>(image.fw1Data)
                  .first(std::min<std::size_t>(Fw1Size(image), image.fw1Data.size()));
    marker = kFw1Marker;
    windowSize = kFw1WindowSize;
  } else if (which == 2) {
    section = std::span<const std::uint8_t>(image.fw2Data)
                  .first(std::min<std::size_t>(Fw2Size(image), image.fw2Data.size()));
    marker = kFw2Marker;
    windowSize = kFw2WindowSize;
  } else {
    return {};
  }
  // An empty section (page count 0 or no data) has no stamp.
  if (section.empty()) return {};
  std::vector<std::uint8_t> window(windowSize, 0);
  if (!FindMarker(section, marker, window)) return {};
  return SplitVersionMarker(WindowToText(window), u'_');
}

}  // namespace tr350
