#include "test_select/bisect_config.h"

#include <gtest/gtest.h>

namespace tarnwick {
namespace {

std::string message_of(const std::string& bisect) {
  auto config = read_bisect_config(json::parse(bisect));
  return config.ok() ? "" : error_text(config.error());
}

// Each bad value and its message; earlier checks win over later ones.
TEST(ReadBisectConfig, EveryMessageInCheckOrder) {
  const std::pair<const char*, const char*> cases[] = {
      {"[]", "bisect must be an object with at least `group_timeout_secs`"},
      {"{}", "bisect.group_timeout_secs is required and must be a positive number"},
      {R"({"group_timeout_secs":null})",
       "bisect.group_timeout_secs is required and must be a positive number"},
      {R"({"group_timeout_secs":0})",
       "bisect.group_timeout_secs must be a positive number of seconds"},
      {R"({"group_timeout_secs":-5,"split_factor":1})",
       "bisect.group_timeout_secs must be a positive number of seconds"},
      {R"({"group_timeout_secs":"10"})", "bisect.group_timeout_secs must be a number (seconds)"},
      {R"({"group_timeout_secs":1e300})",
       "bisect.group_timeout_secs exceeds the maximum supported duration"},
      {R"({"group_timeout_secs":18446744073709551616})",
       "bisect.group_timeout_secs exceeds the maximum supported duration"},
      {R"({"group_timeout_secs":10,"slow_threshold_secs":10})",
       "bisect.slow_threshold_secs must be smaller than group_timeout_secs"},
      {R"({"group_timeout_secs":10,"slow_threshold_secs":true})",
       "bisect.slow_threshold_secs must be a number (seconds)"},
      {R"({"group_timeout_secs":10,"split_percent":0})",
       "bisect.split_percent must be a number in (0, 100]"},
      {R"({"group_timeout_secs":10,"split_percent":150})",
       "bisect.split_percent must be a number in (0, 100]"},
      {R"({"group_timeout_secs":10,"split_percent":"50"})",
       "bisect.split_percent must be a number in (0, 100]"},
      {R"({"group_timeout_secs":10,"split_percent":50,"split_factor":3})",
       "bisect: set only one of split_factor or split_percent, not both"},
      {R"({"group_timeout_secs":10,"split_factor":1})", "bisect.split_factor must be at least 2"},
      {R"({"group_timeout_secs":10,"split_factor":2.0})",
       "bisect.split_factor must be a non-negative integer"},
      {R"({"group_timeout_secs":10,"split_factor":-1,"max_rounds":0})",
       "bisect.split_factor must be a non-negative integer"},
      {R"({"group_timeout_secs":10,"split_factor":1e3})",
       "bisect.split_factor must be a non-negative integer"},
      {R"({"group_timeout_secs":10,"min_group_size":0})",
       "bisect.min_group_size must be at least 1"},
      {R"({"group_timeout_secs":10,"initial_group_size":"5"})",
       "bisect.initial_group_size must be a non-negative integer"},
      {R"({"group_timeout_secs":10,"initial_groups":18446744073709551616})",
       "bisect.initial_groups must be a non-negative integer"},
      {R"({"group_timeout_secs":10,"initial_group_size":5,"initial_groups":2})",
       "bisect: set only one of initial_group_size or initial_groups, not both"},
      {R"({"group_timeout_secs":10,"max_rounds":0})", "bisect.max_rounds must be at least 1"},
      {R"({"group_timeout_secs":10,"pattern":5})", "bisect.pattern must be a string regex"},
  };
  for (const auto& [bisect, message] : cases) EXPECT_EQ(message_of(bisect), message) << bisect;

  std::string bad_regex = message_of(R"({"group_timeout_secs":10,"pattern":"("})");
  EXPECT_TRUE(bad_regex.starts_with("bisect.pattern is not a valid regex: ")) << bad_regex;
  EXPECT_GT(bad_regex.size(), std::string("bisect.pattern is not a valid regex: ").size());
}

TEST(ReadBisectConfig, DefaultsAndAcceptedValues) {
  auto config = read_bisect_config(json::parse(R"({"group_timeout_secs":0.25,"other":1})"));
  ASSERT_TRUE(config.ok());
  EXPECT_EQ(config->group_timeout, (Duration{0, 250'000'000}));
  EXPECT_FALSE(config->slow_threshold);
  EXPECT_EQ(config->split, 2u);
  EXPECT_EQ(config->min_group_size, 1u);
  EXPECT_EQ(config->max_rounds, 32u);
  EXPECT_FALSE(config->initial_group_size || config->initial_groups || config->pattern);
  EXPECT_FALSE(config->include_ignored);

  config = read_bisect_config(json::parse(
      R"({"group_timeout_secs":10,"slow_threshold_secs":9.999,"split_percent":50,"split_factor":null,
          "initial_groups":2,"pattern":"","include_ignored":"true"})"));
  ASSERT_TRUE(config.ok()) << error_text(config.error());
  EXPECT_EQ(config->slow_threshold, (Duration{9, 999'000'000}));
  EXPECT_EQ(config->split, 2u);
  EXPECT_EQ(config->initial_groups, 2u);
  ASSERT_TRUE(config->pattern);
  EXPECT_TRUE(RE2::PartialMatch("any::name", *config->pattern->regex));
  EXPECT_FALSE(config->include_ignored);
}

TEST(ReadBisectConfig, SplitFromPercent) {
  const std::pair<double, uint64_t> cases[] = {
      {25, 4}, {50, 2}, {33, 4}, {100, 2}, {1, 100}, {0.5, 200}, {1e-300, UINT64_MAX}};
  for (const auto& [percent, split] : cases) {
    auto config = read_bisect_config({{"group_timeout_secs", 1}, {"split_percent", percent}});
    ASSERT_TRUE(config.ok());
    EXPECT_EQ(config->split, split) << percent;
  }
}

// Seconds become whole nanoseconds exactly, ties to even.
TEST(ParseBisectSecs, RoundsToTheNearestNanosecond) {
  auto secs = [](double value) {
    return parse_bisect_secs(json{{"t", value}}, "t").value().value();
  };
  EXPECT_EQ(secs(1.5), (Duration{1, 500'000'000}));
  EXPECT_EQ(secs(0x1p-31), (Duration{0, 0}));        // 0.4657 ns
  EXPECT_EQ(secs(0x1p-30), (Duration{0, 1}));        // 0.9313 ns
  EXPECT_EQ(secs(0x1p-40), (Duration{0, 0}));        // tiny: zero, accepted
  EXPECT_EQ(secs(0.1), (Duration{0, 100'000'000}));  // 0.1000000000000000055
  EXPECT_EQ(secs(1e19), (Duration{10'000'000'000'000'000'000u, 0}));
  EXPECT_EQ(secs(0.9999999999), (Duration{1, 0}));     // 999999999.9 ns rounds up
  EXPECT_EQ(secs(0x1p-10), (Duration{0, 976'562}));    // 976562.5 ns: tie to even
  EXPECT_EQ(secs(0x3p-10), (Duration{0, 2'929'688}));  // 2929687.5 ns: tie to even
}

TEST(SplitEven, NearlyEqualConsecutiveGroups) {
  auto sizes = [](size_t n, uint64_t k) {
    std::vector<std::string> names;
    for (size_t i = 0; i < n; ++i) names.push_back(std::to_string(i));
    std::vector<size_t> out;
    std::vector<std::string> joined;
    for (const auto& group : split_even(names, k)) {
      out.push_back(group.size());
      joined.insert(joined.end(), group.begin(), group.end());
    }
    EXPECT_EQ(joined, names);
    return out;
  };
  EXPECT_EQ(sizes(10, 3), (std::vector<size_t>{4, 3, 3}));
  EXPECT_EQ(sizes(5, 2), (std::vector<size_t>{3, 2}));
  EXPECT_EQ(sizes(3, 5), (std::vector<size_t>{1, 1, 1}));
  EXPECT_TRUE(sizes(0, 2).empty());
}

}  // namespace
}  // namespace tarnwick
