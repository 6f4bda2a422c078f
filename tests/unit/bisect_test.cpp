#include "test_select/bisect.h"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <cmath>
#include <set>

#include "base/text_lines.h"

namespace tarnwick {
namespace {

const TestBinary kBinary{"app", "app", TestTargetKind::Lib, "/t/app"};

std::vector<std::string> names_of(size_t n) {
  std::vector<std::string> names;
  for (size_t i = 0; i < n; ++i) names.push_back(fmt::format("t{:04}", i));
  return names;
}

/// A runner that fails every batch holding one of `failing` and hangs every
/// batch holding one of `hanging`, at once.
BatchRunner fake_runner(std::set<std::string> failing, std::set<std::string> hanging = {}) {
  return [=](const TestBinary&, const std::vector<std::string>& names,
             Duration budget) -> Result<BatchRun> {
    for (const std::string& test : names)
      if (hanging.count(test)) return BatchRun{BatchRun::Verdict::Hung, budget};
    for (const std::string& test : names)
      if (failing.count(test)) return BatchRun{BatchRun::Verdict::Failed, {}};
    return BatchRun{};
  };
}

struct Searched {
  std::vector<json> groups;
  BisectTotals totals;
  std::vector<std::string> progress;
};

Searched search(const BisectConfig& config, const std::vector<std::string>& names,
                BatchRunner runner) {
  Searched out;
  ProgressSink sink = [&](std::string_view line) { out.progress.emplace_back(line); };
  BisectSearch search{config, sink, std::move(runner), {}, {}};
  EXPECT_TRUE(search_binary(search, kBinary, names).ok());
  for (std::string_view line : split_lines(search.records)) out.groups.push_back(json::parse(line));
  out.totals = std::move(search.totals);
  return out;
}

BisectConfig config_with(uint64_t split = 2) {
  BisectConfig config;
  config.group_timeout = Duration::from_secs(10);
  config.split = split;
  return config;
}

// Four tests A B C D of which only B fails: depth first, earlier tests first.
TEST(SearchBinary, FindsTheOneFailingTestDepthFirst) {
  Searched out = search(config_with(), {"A", "B", "C", "D"}, fake_runner({"B"}));
  std::vector<std::pair<std::string, uint64_t>> runs;
  for (const json& group : out.groups) {
    runs.emplace_back(group["outcome"].get<std::string>() + ":" + group["sample"].dump(),
                      group["depth"].get<uint64_t>());
  }
  EXPECT_EQ(runs, (std::vector<std::pair<std::string, uint64_t>>{{R"(failed:["A","B","C","D"])", 0},
                                                                 {R"(failed:["A","B"])", 1},
                                                                 {R"(clean:["A"])", 2},
                                                                 {R"(failed:["B"])", 2},
                                                                 {R"(clean:["C","D"])", 1}}));
  ASSERT_EQ(out.totals.culprits.size(), 1u);
  EXPECT_EQ(out.totals.culprits[0].test, "B");
  EXPECT_EQ(out.totals.culprits[0].classification, "failed");
  EXPECT_EQ(out.totals.groups_run, 5u);
  EXPECT_EQ(out.totals.groups_without_culprit, 0u);
  ASSERT_EQ(out.progress.size(), 5u);
  EXPECT_TRUE(out.progress[0].starts_with("bisect: app [0] 4 test(s) -> failed ("))
      << out.progress[0];
  EXPECT_EQ(out.groups[0]["group_timeout_secs"].dump(), "10.0");
}

// One culprit among n tests costs 1 + 2 * ceil(log2 n) group runs with split 2.
TEST(SearchBinary, OneCulpritCostsTheLogarithmicBound) {
  for (size_t n : {4, 5, 1000, 1024}) {
    std::vector<std::string> names = names_of(n);
    for (size_t culprit : {size_t{0}, n / 3, n - 1}) {
      Searched out = search(config_with(), names, fake_runner({names[culprit]}));
      uint64_t bound = 1 + 2 * static_cast<uint64_t>(std::ceil(std::log2(n)));
      EXPECT_LE(out.totals.groups_run, bound) << n << " " << culprit;
      ASSERT_EQ(out.totals.culprits.size(), 1u);
      EXPECT_EQ(out.totals.culprits[0].test, names[culprit]);
    }
  }
  EXPECT_EQ(search(config_with(), names_of(4), fake_runner({"t0003"})).totals.groups_run, 5u);
  EXPECT_EQ(search(config_with(), names_of(1024), fake_runner({"t0000"})).totals.groups_run, 21u);
}

// A group that fails only as a whole yields no culprit and is counted.
TEST(SearchBinary, InteractingTestsAreCountedWithoutCulprit) {
  BatchRunner together = [](const TestBinary&, const std::vector<std::string>& names,
                            Duration) -> Result<BatchRun> {
    return BatchRun{names.size() > 1 ? BatchRun::Verdict::Failed : BatchRun::Verdict::Passed, {}};
  };
  Searched out = search(config_with(), {"A", "B"}, together);
  EXPECT_TRUE(out.totals.culprits.empty());
  EXPECT_EQ(out.totals.groups_run, 3u);
  EXPECT_EQ(out.totals.groups_without_culprit, 1u);
}

// A binary without libtest names runs once as a whole, without names, and
// its failure has no culprit.
TEST(SearchBinary, WholeRunsHaveNoCulprit) {
  std::vector<std::vector<std::string>> runs;
  ProgressSink sink = [](std::string_view) {};
  BisectConfig config = config_with();
  BisectSearch whole{
      config,
      sink,
      [&](const TestBinary&, const std::vector<std::string>& names, Duration) -> Result<BatchRun> {
        runs.push_back(names);
        return BatchRun{BatchRun::Verdict::Failed, {}};
      },
      {},
      {}};
  ASSERT_TRUE(run_whole_binary(whole, kBinary).ok());
  EXPECT_EQ(runs, std::vector<std::vector<std::string>>{{}});
  json group = json::parse(whole.records);
  EXPECT_EQ(group["group_size"], 0);
  EXPECT_EQ(group["sample"], json::array());
  EXPECT_EQ(group["outcome"], "failed");
  EXPECT_TRUE(whole.totals.culprits.empty());
  EXPECT_EQ(whole.totals.groups_without_culprit, 1u);
}

// A batch that cannot start ends the search; the records so far stay.
TEST(SearchBinary, AStartFailureEndsTheSearchKeepingItsRecords) {
  int runs = 0;
  BatchRunner broken = [&](const TestBinary&, const std::vector<std::string>&,
                           Duration) -> Result<BatchRun> {
    if (++runs == 1) return BatchRun{BatchRun::Verdict::Failed, {}};
    return IoError{"No such file or directory (os error 2)", 2};
  };
  ProgressSink sink = [](std::string_view) {};
  BisectConfig config = config_with();
  BisectSearch search{config, sink, broken, {}, {}};
  Status searched = search_binary(search, kBinary, {"A", "B"});
  ASSERT_FALSE(searched.ok());
  EXPECT_TRUE(is_error_kind<IoError>(searched.error()));
  EXPECT_EQ(split_lines(search.records).size(), 1u);
  EXPECT_EQ(search.totals.groups_run, 1u);
}

TEST(SearchBinary, MinGroupSizeAndMaxRoundsStopTheSplits) {
  BisectConfig config = config_with();
  config.min_group_size = 3;
  Searched out = search(config, {"A", "B", "C"}, fake_runner({}, {"B"}));
  ASSERT_EQ(out.totals.culprits.size(), 3u);
  for (const Culprit& culprit : out.totals.culprits) EXPECT_EQ(culprit.classification, "hung");
  EXPECT_EQ(out.totals.groups_run, 1u);

  config = config_with(8);
  config.max_rounds = 1;
  config.initial_group_size = 10;
  out = search(config, names_of(25), fake_runner({"t0000"}));
  // Groups of 10, 10 and 5; the failing first one is split once into singles.
  EXPECT_EQ(out.totals.groups_run, 3u + 8u);
  ASSERT_EQ(out.totals.culprits.size(), 2u);  // a depth-1 group of 2 is not split again
  EXPECT_EQ(out.totals.culprits[0].test, "t0000");
  EXPECT_EQ(out.totals.culprits[1].test, "t0001");
}

// Names beyond 24000 bytes go in several batches of one group; a batch
// never starts once the budget is spent.
TEST(SearchBinary, LongNameListsRunInBatchesUnderOneBudget) {
  std::vector<std::string> names;
  for (char c : std::string("abcde")) names.push_back(std::string(9999, c));  // 10000 bytes each
  std::vector<size_t> batch_sizes;
  std::vector<Duration> budgets;
  BatchRunner counting = [&](const TestBinary&, const std::vector<std::string>& batch,
                             Duration budget) -> Result<BatchRun> {
    batch_sizes.push_back(batch.size());
    budgets.push_back(budget);
    return BatchRun{BatchRun::Verdict::Passed, Duration::from_secs(3)};
  };
  Searched out = search(config_with(), names, counting);
  EXPECT_EQ(batch_sizes, (std::vector<size_t>{2, 2, 1}));
  EXPECT_EQ(budgets, (std::vector<Duration>{Duration::from_secs(10), Duration::from_secs(7),
                                            Duration::from_secs(4)}));
  EXPECT_EQ(out.totals.groups_run, 1u);
  EXPECT_EQ(out.groups[0]["elapsed_secs"].dump(), "9.0");

  // The first two batches spend the whole budget: the third never starts.
  BisectConfig config = config_with();
  config.group_timeout = Duration::from_secs(6);
  config.min_group_size = names.size();  // no split: one group run
  batch_sizes.clear();
  out = search(config, names, counting);
  EXPECT_EQ(batch_sizes.size(), 2u);
  EXPECT_EQ(out.groups[0]["outcome"], "hung");
}

TEST(BisectSeconds, MillisecondFloats) {
  EXPECT_EQ(bisect_seconds(Duration::from_secs(10)).dump(), "10.0");
  EXPECT_EQ(bisect_seconds(Duration{0, 62'500'000}).dump(), "0.063");  // half away from zero
  EXPECT_EQ(bisect_seconds(Duration{0, 499'999}).dump(), "0.0");
}

}  // namespace
}  // namespace tarnwick
