#include "test_select/filter_records.h"

#include <gtest/gtest.h>

#include "base/json_text.h"
#include "test_select/pattern.h"

namespace tarnwick {
namespace {

TEST(LaunchGroups, CutAtTheByteLimitWithOneSeparatorPerName) {
  std::vector<std::string> names;
  for (int i = 0; i < 2000; ++i) names.push_back(std::string(16, 'n') + std::to_string(1000 + i));
  std::vector<std::vector<std::string>> groups = cut_launch_groups(names);
  ASSERT_EQ(groups.size(), 3u);
  EXPECT_EQ(groups[0].size(), 780u);
  EXPECT_EQ(groups[1].size(), 780u);
  EXPECT_EQ(groups[2].size(), 440u);
  EXPECT_EQ(groups[1].front(), names[780]);

  // A name over the limit stands alone, and nothing matched plans nothing.
  std::vector<std::string> odd = {"a", std::string(kLaunchGroupBytes, 'x'), "b"};
  EXPECT_EQ(cut_launch_groups(odd).size(), 3u);
  EXPECT_TRUE(cut_launch_groups({}).empty());
  EXPECT_EQ(cut_launch_groups({std::string(kLaunchGroupBytes - 1, 'x')}).size(), 1u);
}

TEST(FilteredLaunch, ArgumentsAreExactNames) {
  EXPECT_EQ(filtered_launch_args({"a", "b"}, true),
            (std::vector<std::string>{"--exact", "--include-ignored", "a", "b"}));
  EXPECT_EQ(filtered_launch_args({"a"}, false), (std::vector<std::string>{"--exact", "a"}));
}

TEST(FilterRecords, DiscoveryAndSummaryCountWhatWasFoundAndRun) {
  FilterFindings findings;
  findings.pattern = "^foo$";
  findings.binaries = {
      {{"app", "app", TestTargetKind::Lib, "/t/app-1"}, {"foo", "tools::tests::foo"}, {}},
      {{"app", "it", TestTargetKind::Test, "/t/it-1"}, {"bar"}, {}},
      {{"lib2", "lib2", TestTargetKind::Lib, "/t/lib2-1"}, {"foo", "zed"}, {}}};
  findings.enumeration_errors = {"/t/x: boom"};
  auto pattern = compile_test_pattern(findings.pattern);
  ASSERT_TRUE(pattern.ok());
  match_tests(findings.binaries, **pattern);
  // Each library with a match is a launch of its own.
  EXPECT_EQ(count_planned_launches(findings.binaries, false), 2u);
  EXPECT_EQ(count_planned_launches(findings.binaries, true), 2u);
  findings.binaries.pop_back();
  findings.launches_planned = count_planned_launches(findings.binaries, false);

  json discovery = json::parse(discovery_record(findings));
  EXPECT_EQ(discovery["launches_planned"], 1);
  EXPECT_EQ(discovery["tests_enumerated"], 3);
  EXPECT_EQ(discovery["tests_matched"], 1);
  EXPECT_FALSE(discovery.contains("not_listed"));
  EXPECT_EQ(discovery["binaries"][0]["matched"], json({"foo"}));
  EXPECT_EQ(discovery["binaries"][1]["kind"], "test");
  EXPECT_EQ(discovery["enumeration_errors"], json({"/t/x: boom"}));
  EXPECT_TRUE(discovery_record(findings).starts_with(R"({"binaries":[{"executable":)"));

  EXPECT_EQ(summary_record(findings, {0, 1, {}, {}}),
            R"({"binaries_discovered":2,"binaries_with_matches":1,"exit_code":0,"launches":1,)"
            R"("pattern":"^foo$","reason":"x-tarnwick-test-filter-summary","status":"success",)"
            R"("tests_enumerated":3,"tests_matched":1})");
  json missing = json::parse(summary_record(findings, {-1, 1, {"z", "a"}, {"c"}}));
  EXPECT_EQ(missing["status"], "error");
  EXPECT_EQ(missing["tests_not_run"], json({"a", "z"}));
  EXPECT_EQ(missing["tests_crashed"], json({"c"}));

  findings.not_listed = {{"app", "ui", TestTargetKind::Test, "/t/ui-1"}};
  EXPECT_EQ(
      json::parse(discovery_record(findings))["not_listed"],
      json::parse(R"([{"executable":"/t/ui-1","kind":"test","package":"app","target":"ui"}])"));
}

}  // namespace
}  // namespace tarnwick
