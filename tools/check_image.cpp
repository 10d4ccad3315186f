// Build-time check of the firmware image the tool is to carry: it must parse and both code
// sections must carry a version stamp. Fails the build with a clear message otherwise.
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "image/firmware_image.h"
#include "image/version_stamp.h"

namespace {

std::string Narrow(const std::u16string& text) {
  std::string out;
  for (char16_t c : text) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: check_image IMAGE STAMP-FILE\n";
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  if (!in) {
    std::cerr << "firmware image " << argv[1] << ": cannot be read\n";
    return 1;
  }
  const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                        std::istreambuf_iterator<char>());
  tr350::FirmwareImage image;
  if (!tr350::ParseImage(image, bytes)) {
    std::cerr << "firmware image " << argv[1] << " (" << bytes.size()
              << " bytes): not a firmware image (header, FW1 and FW2 sections as the header "
                 "announces them, optionally one 512-byte configuration block)\n";
    return 1;
  }
  const std::u16string fw1 = tr350::GetFirmwareVersion(1, image);
  const std::u16string fw2 = tr350::GetFirmwareVersion(2, image);
  if (fw1.empty() || fw2.empty()) {
    std::cerr << "firmware image " << argv[1] << ": no version stamp in "
              << (fw1.empty() ? "FW1" : "FW2") << "\n";
    return 1;
  }
  std::ofstream stamp(argv[2], std::ios::trunc);
  stamp << "fw1 " << image.fw1Size << " " << Narrow(fw1) << "\nfw2 " << image.fw2Size << " "
        << Narrow(fw2) << "\n";
  return stamp ? 0 : 1;
}
