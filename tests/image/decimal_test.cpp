// Decimal reading of version texts.
#include "image/decimal.h"

#include <gtest/gtest.h>

#include <limits>

namespace tr350 {
namespace {

TEST(ParseDecimal64, ReadsLeadingDigits) {
  EXPECT_EQ(ParseDecimal64(u"201703240218"), 201703240218);
  EXPECT_EQ(ParseDecimal64(u"2017abc"), 2017);
  EXPECT_EQ(ParseDecimal64(u" \t\n-42x"), -42);
  EXPECT_EQ(ParseDecimal64(u"+7"), 7);
  EXPECT_EQ(ParseDecimal64(u"007"), 7);
}

TEST(ParseDecimal64, NoDigitsIsZero) {
  EXPECT_EQ(ParseDecimal64(u""), 0);
  EXPECT_EQ(ParseDecimal64(u"abc"), 0);
  EXPECT_EQ(ParseDecimal64(u"-"), 0);
  EXPECT_EQ(ParseDecimal64(u"x12"), 0);
  EXPECT_EQ(ParseDecimal64(u"- 1"), 0);
}

TEST(ParseDecimal64, SaturatesOutsideTheRange) {
  constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
  constexpr auto kMin = std::numeric_limits<std::int64_t>::min();
  EXPECT_EQ(ParseDecimal64(u"9223372036854775807"), kMax);
  EXPECT_EQ(ParseDecimal64(u"9223372036854775808"), kMax);
  EXPECT_EQ(ParseDecimal64(u"-9223372036854775808"), kMin);
  EXPECT_EQ(ParseDecimal64(u"-99999999999999999999"), kMin);
}

}  // namespace
}  // namespace tr350
