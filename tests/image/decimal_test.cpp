// Decimal reading of version texts.
#include "image/decimal.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <string_view>
#include <utility>

namespace tr350 {
namespace {

// Leading digits after blanks and one sign; no digits is 0; outside the range saturates.
TEST(ParseDecimal64, LeadingDigitsSignsAndSaturation) {
  constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
  constexpr auto kMin = std::numeric_limits<std::int64_t>::min();
  // clang-format off
  const std::pair<std::u16string_view, std::int64_t> cases[] = {
      {u"201703240218", 201703240218}, {u"2017abc", 2017}, {u" \t\n-42x", -42}, {u"+7", 7},
      {u"007", 7}, {u"", 0}, {u"abc", 0}, {u"-", 0}, {u"x12", 0}, {u"- 1", 0},
      {u"9223372036854775807", kMax}, {u"9223372036854775808", kMax},
      {u"-9223372036854775808", kMin}, {u"-99999999999999999999", kMin}};
  // clang-format on
  for (const auto& [text, value] : cases) {
    SCOPED_TRACE(std::string(text.begin(), text.end()));
    EXPECT_EQ(ParseDecimal64(text), value);
  }
}

}  // namespace
}  // namespace tr350
