// Every catalogue chip, probed the way the tool probes (each part-table record's identification
// command in table order, first recognised answer wins) against the part lookup's rules written out
// here independently. That each chip takes its position's commands is checked by the transport's
// round trip through every recognised chip.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <set>
#include <string>

#include "emulator/chip_catalogue.h"
#include "emulator_test_support.h"
#include "platform/emulated/virtual_clock.h"

namespace tr350::emulator {
namespace {

using testing::Bytes;
using testing::Host;

// A lookup rule: manufacturer, the identification opcodes it applies to, one or two reply bytes
// (index and value; index 0 = unused second condition), and the position it gives.
struct Rule {
  std::uint8_t manufacturer;
  std::array<std::uint8_t, 3> opcodes;
  std::size_t at1;
  std::uint8_t is1;
  std::size_t at2;
  std::uint8_t is2;
  int position;
};
constexpr std::array<std::uint8_t, 3> J{0x9F}, M{0x90}, A{0xAB}, JP{0x9F, 0x15}, JM{0x9F, 0x90},
    MA{0x90, 0xAB}, JMA{0x9F, 0x90, 0xAB};
constexpr Rule kRules[] = {
    {0x1C, M, 1, 0x05, 0, 0, 21},      {0x1C, M, 1, 0x14, 0, 0, 22},
    {0x1C, J, 1, 0x20, 2, 0x10, 21},   {0x1C, J, 1, 0x70, 2, 0x15, 22},
    {0x1F, JP, 1, 0x47, 0, 0, 18},     {0x1F, JP, 1, 0x65, 0, 0, 17},
    {0x1F, JP, 1, 0x87, 0, 0, 19},     {0x20, J, 2, 0x10, 0, 0, 26},
    {0x20, J, 2, 0x11, 0, 0, 27},      {0x37, M, 1, 0x15, 0, 0, 57},
    {0x37, J, 2, 0x16, 0, 0, 57},      {0x8C, J, 1, 0x30, 2, 0x11, 24},
    {0x9D, J, 2, 0x10, 0, 0, 36},      {0x9D, J, 2, 0x11, 0, 0, 37},
    {0x9D, J, 2, 0x7B, 0, 0, 38},      {0x9D, J, 2, 0x7C, 0, 0, 39},
    {0x9D, J, 2, 0x7D, 0, 0, 40},      {0x9D, J, 2, 0x7E, 0, 0, 41},
    {0x9D, J, 2, 0x02, 0, 0, 42},      {0x9D, J, 2, 0x21, 0, 0, 43},
    {0x9D, J, 2, 0x42, 0, 0, 44},      {0x9D, A, 1, 0x10, 0, 0, 36},
    {0x9D, A, 1, 0x11, 0, 0, 37},      {0x9D, A, 1, 0x7B, 0, 0, 38},
    {0x9D, A, 1, 0x7C, 0, 0, 39},      {0x9D, A, 1, 0x7D, 0, 0, 40},
    {0x9D, A, 1, 0x7E, 0, 0, 41},      {0x9D, A, 1, 0x02, 0, 0, 42},
    {0xA1, JMA, 1, 0x31, 2, 0x11, 54}, {0xA1, JMA, 1, 0x31, 2, 0x10, 55},
    {0xBF, JM, 2, 0x48, 0, 0, 29},     {0xBF, JM, 2, 0x4B, 0, 0, 30},
    {0xBF, JM, 2, 0x26, 3, 1, 31},     {0xBF, JM, 2, 0x26, 3, 2, 31},
    {0xC2, M, 1, 0x10, 0, 0, 3},       {0xC2, M, 1, 0x16, 0, 0, 7},
    {0xC2, M, 1, 0x19, 0, 0, 9},       {0xC2, M, 1, 0x05, 0, 0, 10},
    {0xC2, M, 1, 0x17, 0, 0, 11},      {0xC2, J, 1, 0x22, 2, 0x11, 6},
    {0xC2, J, 1, 0x20, 2, 0x12, 12},   {0xC2, J, 1, 0x23, 2, 0x11, 13},
    {0xC8, M, 1, 0x12, 0, 0, 46},      {0xC8, M, 1, 0x11, 0, 0, 47},
    {0xC8, M, 1, 0x10, 0, 0, 48},      {0xC8, M, 1, 0x05, 0, 0, 49},
    {0xC8, M, 1, 0x14, 0, 0, 50},      {0xC8, M, 1, 0x17, 0, 0, 52},
    {0xC8, J, 1, 0x40, 2, 0x13, 46},   {0xC8, J, 1, 0x40, 2, 0x12, 47},
    {0xC8, J, 1, 0x40, 2, 0x11, 48},   {0xC8, J, 1, 0x40, 2, 0x10, 49},
    {0xC8, J, 1, 0x40, 2, 0x15, 50},   {0xC8, J, 1, 0x40, 2, 0x18, 52},
    {0xE0, JMA, 1, 0x40, 2, 0x13, 34}, {0xEF, MA, 1, 0x17, 0, 0, 59},
    {0xEF, MA, 1, 0x12, 0, 0, 60},     {0xEF, J, 1, 0x40, 2, 0x18, 59},
    {0xEF, J, 1, 0x30, 2, 0x13, 60},
};
constexpr std::pair<std::uint8_t, int> kDefaults[] = {
    {0x1C, 20}, {0x1F, 14}, {0x20, 25}, {0x37, 56}, {0x8C, 23}, {0x9D, 35},
    {0xA1, 53}, {0xBF, 28}, {0xC2, 1},  {0xC8, 45}, {0xE0, 33}, {0xEF, 58}};

int Lookup(const std::array<std::uint8_t, 4>& reply, std::uint8_t opcode) {
  for (const Rule& r : kRules) {
    if (r.manufacturer == reply[0] && std::ranges::find(r.opcodes, opcode) != r.opcodes.end() &&
        reply[r.at1] == r.is1 && (r.at2 == 0 || reply[r.at2] == r.is2)) {
      return r.position;
    }
  }
  for (const auto& [manufacturer, position] : kDefaults) {
    if (manufacturer == reply[0]) return position;
  }
  return -1;
}

// Part-table records 0-60 in order, each probing with its identification command.
int ProbeThroughBridge(Host& host) {
  const auto in = [](int r, int a, int b) { return r >= a && r <= b; };
  for (int record = 0; record <= 60; ++record) {
    Bytes command = {0x9F};                                                   // 3 reply bytes
    if (in(record, 14, 17)) command = {0x15};                                 // 2
    if (in(record, 23, 24) || in(record, 28, 29)) command = {0x90, 0, 0, 0};  // 4
    if (in(record, 35, 44)) command = {0xAB, 0, 0, 0};                        // 3
    const std::size_t replyBytes = command[0] == 0x15 ? 2 : command[0] == 0x90 ? 4 : 3;
    const auto reply = host.FlashIn(command, replyBytes);
    if (!reply) continue;
    std::array<std::uint8_t, 4> id{};
    std::copy(reply->begin(), reply->end(), id.begin());
    if (const int position = Lookup(id, command[0]); position >= 0) return position;
  }
  return -1;
}

TEST(ChipCatalogueTest, ProbingEndsOnEachChipsPositionAndCoversAllReachableOnes) {
  std::set<std::string_view> names;
  std::set<int> positions;
  for (const CatalogueChip& chip : ChipCatalogue()) {
    SCOPED_TRACE(std::string(chip.traits.name));
    EXPECT_TRUE(names.insert(chip.traits.name).second);
    platform::VirtualClock clock;
    Reader reader(clock, chip.traits);
    Host host{reader};
    const int found = ProbeThroughBridge(host);
    EXPECT_EQ(found, chip.position.has_value() ? int{*chip.position} : -1);
    positions.insert(found);
  }
  const std::set<int> unreachable = {0, 2, 4, 5, 8, 15, 16, 32, 51};
  for (int p = -1; p <= 60; ++p) {
    EXPECT_EQ(positions.contains(p), !unreachable.contains(p)) << "position " << p;
  }
  EXPECT_EQ(CatalogueChipForPosition(31)->traits.name, "bf-2526-01-90");
}

TEST(ChipCatalogueTest, ManufacturerDeviceAnswerFollowsTheAddress) {
  platform::VirtualClock clock;
  Reader reader(clock, FindCatalogueChip("ef-4018")->traits);
  Host host{reader};
  EXPECT_EQ(host.FlashIn({0x90, 0, 0, 0}, 4), Bytes({0xEF, 0x17, 0xEF, 0x17}));
  EXPECT_EQ(host.FlashIn({0x90, 0, 0, 1}, 3), Bytes({0x17, 0xEF, 0x17}));
  // Address bytes are clocked, not answered: one command byte leaves three floating bytes.
  EXPECT_EQ(host.FlashIn({0x90}, 5), Bytes({0xFF, 0xFF, 0xFF, 0x17, 0xEF}));
}

}  // namespace
}  // namespace tr350::emulator
