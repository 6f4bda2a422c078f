#include "runner/libtest_output.h"

#include <gtest/gtest.h>

namespace tarnwick {
namespace {

TEST(LibtestListing, NamesAndTheCountLine) {
  TestListing listing = read_libtest_listing(
      "b::slow: test\nz: test\na::name: with colon: test  \nbenches::b1: benchmark\n\n"
      "3 tests, 1 benchmark\n");
  EXPECT_EQ(listing.names, (std::vector<std::string>{"b::slow", "z", "a::name: with colon"}));
  EXPECT_TRUE(listing.count_line);

  // A custom harness that prints nothing of libtest's form cannot be listed.
  EXPECT_FALSE(read_libtest_listing("custom harness ran\n1 tests passed\n").listable);
  EXPECT_TRUE(read_libtest_listing("\n0 tests, 0 benchmarks\n").listable);
}

const std::set<std::string> kGiven = {"m::a", "m::b", "m::c", "m::p"};
const std::string kCounts =
    "test result: FAILED. 2 passed; 1 failed; 1 ignored; 0 measured; 0 filtered out; "
    "finished in 0.01s\n";

TEST(LibtestRun, ResultsOfTheGivenNamesAndTheFinalCount) {
  std::string out =
      "running 4 tests\n"
      "test m::a ... ok\n"
      "test m::b ... FAILED\n"
      "test m::c ... ignored, slow\r\n"
      "test m::p - should panic ... ok\n"
      "test m::ghost ... FAILED\n" +
      kCounts;
  LibtestRun run = read_libtest_run(out, kGiven);
  EXPECT_EQ(run.results.size(), 4u);
  EXPECT_EQ(run.results.at("m::c"), TestOutcome::Ignored);
  EXPECT_EQ(run.results.at("m::p"), TestOutcome::Passed);
  EXPECT_TRUE(run.accounts_for(kGiven));
  EXPECT_FALSE(run.accounts_for({"m::a", "m::b", "m::c", "m::p", "m::d"}));

  // A binary that ended early has no count line; one whose count disagrees
  // with the results is not libtest's own account.
  EXPECT_FALSE(read_libtest_run("test m::a ... ok\n", {"m::a"}).accounts_for({"m::a"}));
  EXPECT_FALSE(read_libtest_run("test m::a ... ok\n" + kCounts, {"m::a"}).accounts_for({"m::a"}));
}

// Output libtest cannot capture splits libtest's result lines and imitates
// them; the results stay those libtest wrote. With one thread a test's output
// stands between "test NAME ... " and its result; with several, libtest
// writes each result line whole, straight after what a test left without a
// line feed. An imitation of a given name yields to libtest's count.
TEST(LibtestRun, UncapturedOutputNeitherInventsNorHidesAResult) {
  const std::string one_thread =
      "running 3 tests\n"
      "test m::a ... test m::c ... FAILED\n"
      "test result: FAILED. 0 passed; 3 failed; 0 ignored; 0 measured; 0 filtered out\n"
      "test m::ghost ... ok\n"
      "ok\n"
      "test m::b ... FAILED\n"
      "partial output then the resultok\n"
      "test m::c ... I am ok\n"
      "FAILED\n"
      "\n";
  const std::string threads =
      "running 3 tests\n"
      "no newlinetest m::a ... ok\n"
      "test m::c ... FAILED\n"
      "abc\rtest m::c ... ok\n"
      "test m::b ... FAILEDtest m::b ... ok\n";
  for (const std::string& out : {one_thread, threads}) {
    LibtestRun run = read_libtest_run(
        out + "test result: FAILED. 2 passed; 1 failed; 0 ignored; 0 measured; 0 filtered out\n",
        {"m::a", "m::b", "m::c"});
    EXPECT_EQ(run.results.at("m::a"), TestOutcome::Passed) << out;
    EXPECT_EQ(run.results.at("m::b"), TestOutcome::Passed) << out;
    EXPECT_EQ(run.results.at("m::c"), TestOutcome::Failed) << out;
    EXPECT_TRUE(run.accounts_for({"m::a", "m::b", "m::c"})) << out;
    EXPECT_FALSE(run.unfinished) << out;
  }
}

// Output written between libtest's name and result can hide a result line
// whole; the count line vouches for the hidden names only when every
// failure it counts is reported, or when it gives every name one outcome.
TEST(LibtestRun, TheCountLineCreditsHiddenPassesOnly) {
  const std::set<std::string> given = {"m::a", "m::b", "m::c"};
  const std::string hidden =
      "running 3 tests\n"
      "test m::a ... ok\n"
      "xxtest m::b ... xxxx\n"
      "xxxxokxx\n"
      "test m::c ... FAILED\n";
  auto counted = [&](std::string_view counts) {
    return read_libtest_run(
        hidden + "test result: " + std::string(counts) + " 0 ignored; 0 measured; 0 filtered out\n",
        given);
  };
  LibtestRun run = counted("FAILED. 2 passed; 1 failed;");
  EXPECT_EQ(run.results.at("m::b"), TestOutcome::Passed);
  EXPECT_TRUE(run.accounts_for(given));
  run = counted("FAILED. 1 passed; 2 failed;");
  EXPECT_FALSE(run.results.contains("m::b"));
  EXPECT_FALSE(run.accounts_for(given));
  run = counted("FAILED. 0 passed; 3 failed;");
  EXPECT_EQ(run.results.at("m::a"), TestOutcome::Failed);
  EXPECT_TRUE(run.accounts_for(given));
}

// The test a one-thread binary was running when it crashed keeps its line
// open to the end; a stack overflow names the test's thread.
TEST(LibtestRun, TheTestRunningAtACrashIsNamed) {
  LibtestRun run = read_libtest_run("running 2 tests\ntest m::a ... ok\ntest m::b ... \n",
                                    {"m::a", "m::b", "m::c"});
  EXPECT_EQ(run.unfinished, "m::b");
  EXPECT_FALSE(run.results.contains("m::b"));

  run = read_libtest_run(
      "running 1 test\n\nthread 'm::deep' (11086) has overflowed its stack\n"
      "fatal runtime error: stack overflow, aborting\n",
      {"m::deep"});
  EXPECT_EQ(run.overflowed, std::vector<std::string>{"m::deep"});
}

}  // namespace
}  // namespace tarnwick
