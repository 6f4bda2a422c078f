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
  EXPECT_TRUE(read_libtest_listing("0 tests, 0 benchmarks\n").listable);
}

const std::set<std::string> kGiven = {"m::a", "m::b", "m::c"};

/// libtest's closing section for `failed` of the given names.
std::string closing(int passed, const std::vector<std::string>& failed, int ignored = 0) {
  std::string text;
  if (!failed.empty()) {
    text += "\nfailures:\n\n---- " + failed.front() + " stdout ----\npanicked\n\nfailures:\n";
    for (const std::string& name : failed) text += "    " + name + "\n";
  }
  text += "\ntest result: " + std::string(failed.empty() ? "ok" : "FAILED") + ". " +
          std::to_string(passed) + " passed; " + std::to_string(failed.size()) + " failed; " +
          std::to_string(ignored) + " ignored; 0 measured; 0 filtered out; finished in 0.00s\n\n";
  return text;
}

// The closing section, written once every test ended, settles each result,
// however other output split or imitated the result lines: here a child's
// text between libtest's name and word (as a loaded machine interleaves
// them), imitated result lines of given names, a child's count line and a
// should-panic mode after a name.
TEST(LibtestRun, TheClosingSectionSettlesEveryResult) {
  const std::string run =
      "\nrunning 3 tests\n"
      "test m::c ... no newline from a childtest result: ok. 3 passed; 0 failed; 0 ignored; "
      "0 measured; 0 filtered out; finished in 0.00s\n"
      "ok\n"
      "test m::b - should panic ... FAILED\n"
      "test m::a ... FAILED\n"
      "test m::c ... FAILED\n"
      "test m::a ... okfrom a child\n" +
      closing(2, {"m::b"});
  for (TestThreads threads : {TestThreads::One, TestThreads::Unknown}) {
    LibtestRun read = read_libtest_run(run, kGiven, threads, 101);
    EXPECT_TRUE(read.closed);
    EXPECT_EQ(read.results, (std::map<std::string, TestOutcome>{{"m::a", TestOutcome::Passed},
                                                                {"m::b", TestOutcome::Failed},
                                                                {"m::c", TestOutcome::Passed}}));
  }
  // A count that does not add up to the names given, a word that disagrees
  // with the counts, or a failure list of another size is no account.
  EXPECT_FALSE(
      read_libtest_run("test m::a ... ok\n" + closing(1, {}), kGiven, TestThreads::One, 0).closed);
  EXPECT_FALSE(read_libtest_run("test m::a ... ok\ntest m::b ... ok\ntest m::c ... ok\n"
                                "\ntest result: FAILED. 3 passed; 0 failed; 0 ignored; "
                                "0 measured; 0 filtered out\n",
                                kGiven, TestThreads::One, 101)
                   .closed);
  // libtest's "ok" exits 0 and its "FAILED" does not: a section whose word
  // the exit code denies is not libtest's.
  const std::string passed = "test m::a ... ok\ntest m::b ... ok\ntest m::c ... ok\n";
  EXPECT_TRUE(read_libtest_run(passed + closing(3, {}), kGiven, TestThreads::One, 0).closed);
  EXPECT_FALSE(read_libtest_run(passed + closing(2, {"m::b"}), kGiven, TestThreads::One, 0).closed);
  EXPECT_EQ(
      read_libtest_run(passed + closing(2, {"m::b"}), kGiven, TestThreads::One, 0).last_count_ok,
      false);
}

// A binary that dies after libtest's closing section (an exit handler that
// aborts) keeps the results the section gives, when each test's word came
// with its name; a count a child printed while a test ran is no account.
TEST(LibtestRun, ADeathAfterTheClosingSectionKeepsTheResults) {
  const std::string passed = "test m::a ... ok\ntest m::b ... ok\ntest m::c ... ok\n";
  for (std::optional<int> end : {std::optional<int>(), std::optional<int>(1)}) {
    LibtestRun read = read_libtest_run(passed + closing(3, {}), kGiven, TestThreads::One, end);
    EXPECT_TRUE(read.closed);
    EXPECT_EQ(read.results.size(), 3u);
  }
  LibtestRun forged =
      read_libtest_run("test m::a ... ok\ntest m::b ... ok\ntest m::c ... \n" + closing(3, {}),
                       kGiven, TestThreads::One, std::nullopt);
  EXPECT_FALSE(forged.closed);
  EXPECT_EQ(forged.unfinished, "m::c");
}

// A count line never vouches for a test libtest did not name: a child's
// forged closing followed by the test ending the process is no pass.
TEST(LibtestRun, ACountLineAloneGivesNoResult) {
  LibtestRun read =
      read_libtest_run("\nrunning 1 test\n" + closing(1, {}), {"m::a"}, TestThreads::Unknown, 0);
  EXPECT_FALSE(read.closed);
  EXPECT_TRUE(read.results.empty());
  // Passes and ignored tests together: the account holds, but only lines a
  // test can imitate would say which is which.
  read = read_libtest_run(
      "test m::a ... ok\ntest m::b ... ignored\ntest m::c ... FAILED\n" + closing(1, {"m::c"}, 1),
      kGiven, TestThreads::Unknown, 101);
  EXPECT_TRUE(read.closed);
  EXPECT_EQ(read.results, (std::map<std::string, TestOutcome>{{"m::c", TestOutcome::Failed}}));
}

// Without a closing section (a crash), one test thread still tells the
// results libtest confirmed by naming the next test, and the test in
// flight, whatever a child printed after its name. Read without knowing the
// threads, a result counts when the text up to the next name holds one
// word, and the last name's only when libtest's word follows it at once.
TEST(LibtestRun, ACrashWithOneThreadNamesTheTestInFlight) {
  const std::string crashed =
      "\nrunning 3 tests\n"
      "test m::a ... child says hi\npartial then libtest's wordok\n"
      "test m::b ... FAILED\n"
      "test m::c ... connecting... ok\n";
  LibtestRun one = read_libtest_run(crashed, kGiven, TestThreads::One, std::nullopt);
  EXPECT_FALSE(one.closed);
  EXPECT_EQ(one.results, (std::map<std::string, TestOutcome>{{"m::a", TestOutcome::Passed},
                                                             {"m::b", TestOutcome::Failed}}));
  EXPECT_EQ(one.unfinished, "m::c");
  // libtest names the next test only after the running one's word: a name
  // before that word is the running test's output.
  LibtestRun child_named = read_libtest_run("test m::a ... \ntest m::b ... ok\n", kGiven,
                                            TestThreads::One, std::nullopt);
  EXPECT_TRUE(child_named.results.empty());
  EXPECT_EQ(child_named.unfinished, "m::a");
  LibtestRun unknown = read_libtest_run(crashed, kGiven, TestThreads::Unknown, std::nullopt);
  EXPECT_EQ(unknown.results, one.results);
  EXPECT_FALSE(unknown.unfinished);
  unknown = read_libtest_run("test m::a ... ok\ntest m::b ... token FAILED\ntest m::c ... ok",
                             kGiven, TestThreads::Unknown, std::nullopt);
  EXPECT_EQ(unknown.results, (std::map<std::string, TestOutcome>{{"m::a", TestOutcome::Passed},
                                                                 {"m::c", TestOutcome::Passed}}));

  EXPECT_EQ(overflowed_tests("\nthread 'm::a' (11086) has overflowed its stack\n"
                             "fatal runtime error: stack overflow, aborting\n",
                             kGiven),
            std::vector<std::string>{"m::a"});
}

// The thread count a binary runs on: its --test-threads, else the variable.
TEST(LibtestRun, ThreadsComeFromTheBinarysArgumentsAndEnvironment) {
  EXPECT_EQ(test_threads_of({}, "1"), TestThreads::One);
  EXPECT_EQ(test_threads_of({"--test-threads", "4"}, "1"), TestThreads::Unknown);
  EXPECT_EQ(test_threads_of({"--exact", "--test-threads=1"}, "4"), TestThreads::One);
  EXPECT_EQ(test_threads_of({"--", "--test-threads", "1"}, std::nullopt), TestThreads::Unknown);
  EXPECT_EQ(test_threads_of({}, std::nullopt), TestThreads::Unknown);
}

}  // namespace
}  // namespace tarnwick
