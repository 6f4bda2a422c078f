// Elapsed-time texts and saturating duration arithmetic.
#include "base/duration.h"

#include <gtest/gtest.h>

namespace tarnwick {
namespace {

TEST(FormatSecs3, RoundsTheDoubleValueOfTheSeconds) {
  // Exact binary ties go to the even digit.
  EXPECT_EQ(format_secs_3({0, 62'500'000}), "0.062");
  EXPECT_EQ(format_secs_3({0, 187'500'000}), "0.188");
  // A decimal half that the double holds just below or above the tie.
  EXPECT_EQ(format_secs_3({1, 500'000}), "1.000");
  EXPECT_EQ(format_secs_3({0, 500'000}), "0.001");
  EXPECT_EQ(format_secs_3({2, 2'500'000}), "2.002");
  // Large seconds still within a double's exact integers print its value.
  EXPECT_EQ(format_secs_3({8'796'093'022'208, 1'000'000}), "8796093022208.002");
  EXPECT_EQ(format_secs_3({4'503'599'627'370'495, 500'000'000}), "4503599627370495.500");
}

TEST(FormatSecs3, HugeValuesKeepEveryDigitAndNeverWrap) {
  EXPECT_EQ(format_secs_3({9'007'199'254'740'993, 0}), "9007199254740993.000");
  EXPECT_EQ(format_secs_3({9'007'199'254'740'993, 1'500'000}), "9007199254740993.002");
  EXPECT_EQ(format_secs_3({9'007'199'254'740'993, 2'500'000}), "9007199254740993.002");
  EXPECT_EQ(format_secs_3({9'007'199'254'740'993, 999'500'000}), "9007199254740994.000");
  EXPECT_EQ(format_secs_3(Duration::max()), "18446744073709551616.000");
}

TEST(DurationArithmetic, NanosecondCarryAtTheTopSaturates) {
  EXPECT_EQ(saturating_add({UINT64_MAX, 600'000'000}, {0, 500'000'000}), Duration::max());
  EXPECT_EQ(saturating_add({1, 600'000'000}, {0, 500'000'000}), (Duration{2, 100'000'000}));
}

}  // namespace
}  // namespace tarnwick
