#include "test_select/bisect.h"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <set>

#include "base/text_lines.h"

namespace tarnwick {
namespace {

const TestBinary kBinary{"app", "app", TestTargetKind::Lib, "/t/app", "app-id"};

std::vector<std::string> names_of(size_t n) {
  std::vector<std::string> names;
  for (size_t i = 0; i < n; ++i) names.push_back(fmt::format("t{:04}", i));
  return names;
}

/// The tests named in a batch's arguments (after "--exact").
std::vector<std::string> batch_tests(const std::vector<std::string>& args) {
  auto exact = std::find(args.begin(), args.end(), "--exact");
  return {exact + 1, args.end()};
}

/// What libtest prints for a run of `names` of which `failing` fail.
CapturedOutput libtest_run(const std::vector<std::string>& names,
                           const std::set<std::string>& failing = {}) {
  CapturedOutput out;
  size_t failed = 0;
  for (const std::string& test : names) {
    bool fails = failing.count(test) != 0;
    failed += fails;
    out.stdout_text += "test " + test + (fails ? " ... FAILED\n" : " ... ok\n");
  }
  out.stdout_text += fmt::format("test result: {}. {} passed; {} failed; 0 ignored; 0 measured\n",
                                 failed ? "FAILED" : "ok", names.size() - failed, failed);
  out.exit_code = failed ? 101 : 0;
  return out;
}

/// A runner that fails every batch holding one of `failing` and hangs (a
/// timeout) every batch holding one of `hanging`, at once.
BatchRunner fake_runner(std::set<std::string> failing, std::set<std::string> hanging = {}) {
  return [=](const TestBinary&, const std::vector<std::string>& args,
             Duration) -> Result<CapturedOutput> {
    for (const std::string& test : batch_tests(args)) {
      if (hanging.count(test)) return TimeoutError{};
    }
    return libtest_run(batch_tests(args), failing);
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
  BatchRunner together = [](const TestBinary&, const std::vector<std::string>& args,
                            Duration) -> Result<CapturedOutput> {
    std::vector<std::string> tests = batch_tests(args);
    if (tests.size() > 1) return libtest_run(tests, {tests.back()});
    return libtest_run(tests);
  };
  Searched out = search(config_with(), {"A", "B"}, together);
  EXPECT_TRUE(out.totals.culprits.empty());
  EXPECT_EQ(out.totals.groups_run, 3u);
  EXPECT_EQ(out.totals.groups_without_culprit, 1u);
}

// Exit code 0 is not enough: a run that libtest did not account for failed
// (a test ended the binary early). A binary without libtest names runs once
// as a whole, without arguments, and its failure has no culprit.
TEST(SearchBinary, ExitZeroWithoutLibtestsAccountFailsAndWholeRunsHaveNoCulprit) {
  BatchRunner exits_early = [](const TestBinary&, const std::vector<std::string>& args,
                               Duration) -> Result<CapturedOutput> {
    std::vector<std::string> tests = batch_tests(args);
    if (std::find(tests.begin(), tests.end(), "A") != tests.end()) return CapturedOutput{};
    return libtest_run(tests);
  };
  Searched out = search(config_with(), {"A", "B"}, exits_early);
  ASSERT_EQ(out.totals.culprits.size(), 1u);
  EXPECT_EQ(out.totals.culprits[0].test, "A");
  EXPECT_EQ(out.totals.culprits[0].classification, "failed");

  std::vector<std::vector<std::string>> runs;
  ProgressSink sink = [](std::string_view) {};
  BisectConfig config = config_with();
  BisectSearch whole{config,
                     sink,
                     [&](const TestBinary&, const std::vector<std::string>& args,
                         Duration) -> Result<CapturedOutput> {
                       runs.push_back(args);
                       return CapturedOutput{"", "", 1};
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
                           Duration) -> Result<CapturedOutput> {
    if (++runs == 1) return CapturedOutput{"", "", 1};
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
  BatchRunner counting = [&](const TestBinary&, const std::vector<std::string>& args,
                             Duration) -> Result<CapturedOutput> {
    batch_sizes.push_back(batch_tests(args).size());
    return libtest_run(batch_tests(args));
  };
  Searched out = search(config_with(), names, counting);
  EXPECT_EQ(batch_sizes, (std::vector<size_t>{2, 2, 1}));
  EXPECT_EQ(out.totals.groups_run, 1u);

  BisectConfig config = config_with();
  config.group_timeout = Duration{0, 1};
  config.min_group_size = names.size();  // no split: one group run
  batch_sizes.clear();
  BatchRunner slow = [&](const TestBinary& binary, const std::vector<std::string>& args,
                         Duration budget) -> Result<CapturedOutput> {
    // Spend more than the budget on the clock the engine reads.
    auto start = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - start < std::chrono::microseconds(1)) {
    }
    return counting(binary, args, budget);
  };
  out = search(config, names, slow);
  EXPECT_EQ(batch_sizes.size(), 1u);
  EXPECT_EQ(out.groups[0]["outcome"], "hung");
}

TEST(BisectSeconds, MillisecondFloats) {
  EXPECT_EQ(bisect_seconds(Duration::from_secs(10)).dump(), "10.0");
  EXPECT_EQ(bisect_seconds(Duration{0, 62'500'000}).dump(), "0.063");  // half away from zero
  EXPECT_EQ(bisect_seconds(Duration{0, 499'999}).dump(), "0.0");
}

}  // namespace
}  // namespace tarnwick
