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

TEST(LibtestAccount, EveryGivenNameReportedAndTheCountLineAgrees) {
  const std::string results =
      "running 4 tests\n"
      "test m::a ... ok\n"
      "test m::b ... FAILED\n"
      "test m::c ... ignored, slow\r\n"
      "test m::p - should panic ... ok\n"
      "{\"reason\":\"build-finished\",\"success\":true}\n"
      "test m::e has been running for over 60 seconds\n";
  const std::string counts =
      "test result: FAILED. 2 passed; 1 failed; 1 ignored; 0 measured; 0 filtered out; "
      "finished in 0.01s\n";
  LibtestAccount account =
      account_for_run(results + counts, {"m::a", "m::b", "m::c", "m::d", "m::e", "m::p"});
  EXPECT_EQ(account.not_reported, (std::vector<std::string>{"m::d", "m::e"}));
  EXPECT_TRUE(account.counts_agree);
  EXPECT_FALSE(account.trusted());
  EXPECT_TRUE(account_for_run(results + counts, {"m::a", "m::b", "m::c", "m::p"}).trusted());

  // A binary that ended early has no count line; a child process printing a
  // result line of its own makes the lines outnumber the count; two count
  // lines are not libtest's own run either.
  EXPECT_FALSE(account_for_run(results, {"m::a"}).counts_agree);
  EXPECT_FALSE(account_for_run(results + "test m::x ... ok\n" + counts, {"m::a"}).counts_agree);
  EXPECT_FALSE(account_for_run(results + counts + counts, {"m::a"}).counts_agree);
}

TEST(FilterRecords, DiscoveryAndSummaryCountWhatWasFoundAndRun) {
  FilterFindings findings;
  findings.pattern = "^foo$";
  findings.binaries = {
      {{"app", "app", TestTargetKind::Lib, "/t/app-1", "app-id"}, {"foo", "tools::tests::foo"}, {}},
      {{"app", "it", TestTargetKind::Test, "/t/it-1", "app-id"}, {"bar"}, {}}};
  findings.enumeration_errors = {"/t/x: boom"};
  auto pattern = compile_test_pattern(findings.pattern);
  ASSERT_TRUE(pattern.ok());
  match_tests(findings.binaries, **pattern);
  findings.launches_planned = count_planned_launches(findings.binaries);

  json discovery = json::parse(discovery_record(findings));
  EXPECT_EQ(discovery["launches_planned"], 1);
  EXPECT_EQ(discovery["tests_enumerated"], 3);
  EXPECT_EQ(discovery["tests_matched"], 1);
  EXPECT_EQ(discovery["binaries"][0]["matched"], json({"foo"}));
  EXPECT_EQ(discovery["binaries"][1]["kind"], "test");
  EXPECT_EQ(discovery["enumeration_errors"], json({"/t/x: boom"}));
  EXPECT_TRUE(discovery_record(findings).starts_with(R"({"binaries":[{"executable":)"));

  EXPECT_EQ(summary_record(findings, 0, 1, {}),
            R"({"binaries_discovered":2,"binaries_with_matches":1,"exit_code":0,"launches":1,)"
            R"("pattern":"^foo$","reason":"x-tarnwick-test-filter-summary","status":"success",)"
            R"("tests_enumerated":3,"tests_matched":1})");
  json missing = json::parse(summary_record(findings, -1, 1, {"z", "a"}));
  EXPECT_EQ(missing["status"], "error");
  EXPECT_EQ(missing["tests_not_run"], json({"a", "z"}));
}

}  // namespace
}  // namespace tarnwick
