// A property of how a test binary's output is read: libtest's writes for a
// run (one or several threads, passes, failures, ignored tests, a crash
// during a test or after the closing section), with what tests' children
// print (lines, partial lines, imitations of libtest's and cargo's lines)
// slipped in at random write boundaries and after the binary's end, read as
// a launch reads the binary's run. Every name's result is its true one or
// none, a binary never passes unless all its tests did, and a run that
// ended as libtest ends it is read whole.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "runner/libtest_output.h"
#include "test_select/test_launch.h"

namespace tarnwick {
namespace {

using Rng = std::mt19937;

size_t pick(Rng& rng, size_t count) {
  return std::uniform_int_distribution<size_t>(0, count - 1)(rng);
}
bool chance(Rng& rng, int percent) { return static_cast<int>(pick(rng, 100)) < percent; }

struct SimTest {
  std::string name;
  bool should_panic = false;
  TestOutcome outcome = TestOutcome::Passed;
  std::string captured;  // what libtest captured of a failing test
};

/// One binary's run as libtest writes it, with the true results.
struct SimRun {
  std::vector<std::string> writes;
  /// Writes a test's children may stand before: after each of these.
  std::vector<size_t> boundaries;
  /// With one thread, each test's window: output of its children goes there.
  bool one_thread = false;
  std::map<std::string, TestOutcome> truth;  // tests whose result libtest wrote
  std::optional<std::string> in_flight;      // one thread: the test that crashed
  bool crashed = false;
  bool dies = false;  // the binary dies, during a test or after them
  bool all_passed = false;
};

const char* word_of(TestOutcome outcome) {
  switch (outcome) {
    case TestOutcome::Passed:
      return "ok";
    case TestOutcome::Failed:
      return "FAILED";
    case TestOutcome::Ignored:
      return "ignored";
  }
  return "ok";
}

std::string named(const SimTest& test) {
  return "test " + test.name + (test.should_panic ? " - should panic" : "") + " ... ";
}

/// libtest's closing section, write by write.
void close_run(const std::vector<SimTest>& tests, SimRun& run) {
  std::vector<const SimTest*> failed;
  size_t passed = 0, ignored = 0;
  for (const SimTest& test : tests) {
    if (test.outcome == TestOutcome::Failed) failed.push_back(&test);
    passed += test.outcome == TestOutcome::Passed;
    ignored += test.outcome == TestOutcome::Ignored;
  }
  if (!failed.empty()) {
    run.writes.push_back("\nfailures:\n");
    std::string stdouts;
    for (const SimTest* test : failed)
      if (!test->captured.empty())
        stdouts += "---- " + test->name + " stdout ----\n" + test->captured + "\n";
    if (!stdouts.empty()) {
      run.writes.push_back("\n");
      run.writes.push_back(stdouts);
    }
    run.writes.push_back("\nfailures:\n");
    for (const SimTest* test : failed) run.writes.push_back("    " + test->name + "\n");
  }
  run.writes.push_back("\ntest result: ");
  run.writes.push_back(failed.empty() ? "ok" : "FAILED");
  run.writes.push_back(". " + std::to_string(passed) + " passed; " + std::to_string(failed.size()) +
                       " failed; " + std::to_string(ignored) +
                       " ignored; 0 measured; 0 filtered out");
  run.writes.push_back("; finished in 0.00s");
  run.writes.push_back("\n\n");
}

/// The tests run on one or several threads; a crash ends the run during a
/// test (one thread) or after some writes (several).
SimRun simulate(std::vector<SimTest> tests, bool one_thread, bool crash, Rng& rng) {
  SimRun run;
  run.one_thread = one_thread;
  run.crashed = crash;
  std::sort(tests.begin(), tests.end(),
            [](const SimTest& a, const SimTest& b) { return a.name < b.name; });
  run.writes.push_back("\nrunning " + std::to_string(tests.size()) +
                       (tests.size() == 1 ? " test\n" : " tests\n"));
  if (one_thread) {
    std::optional<size_t> crash_at;  // an ignored test never runs, so never crashes
    std::vector<size_t> runnable;
    for (size_t i = 0; i < tests.size(); ++i)
      if (tests[i].outcome != TestOutcome::Ignored) runnable.push_back(i);
    if (crash && !runnable.empty()) crash_at = runnable[pick(rng, runnable.size())];
    run.crashed = crash_at.has_value();
    for (size_t i = 0; i < tests.size(); ++i) {
      run.writes.push_back(named(tests[i]));
      if (tests[i].outcome != TestOutcome::Ignored) run.boundaries.push_back(run.writes.size());
      if (crash_at == i) {
        run.in_flight = tests[i].name;
        return run;
      }
      run.writes.push_back(word_of(tests[i].outcome));
      run.writes.push_back("\n");
      run.truth[tests[i].name] = tests[i].outcome;
    }
  } else {
    std::shuffle(tests.begin(), tests.end(), rng);  // the order they end in
    for (const SimTest& test : tests) {
      for (const std::string& write :
           {named(test), std::string(word_of(test.outcome)), std::string("\n")}) {
        run.boundaries.push_back(run.writes.size());
        run.writes.push_back(write);
      }
      run.truth[test.name] = test.outcome;
    }
    run.boundaries.push_back(run.writes.size());
    if (crash) {
      // The run dies after any write; a test whose word was not written
      // has no result.
      size_t keep = 1 + pick(rng, run.writes.size());
      run.writes.resize(keep);
      std::erase_if(run.boundaries, [keep](size_t at) { return at > keep; });
      run.truth.clear();
      for (size_t i = 1; i + 1 < keep; i += 3) {  // the word was written
        std::string name = run.writes[i].substr(5, run.writes[i].find(" ... ") - 5);
        if (size_t mode = name.find(" - "); mode != std::string::npos) name.resize(mode);
        run.truth[name] = run.writes[i + 1] == "ok"       ? TestOutcome::Passed
                          : run.writes[i + 1] == "FAILED" ? TestOutcome::Failed
                                                          : TestOutcome::Ignored;
      }
      return run;
    }
  }
  close_run(tests, run);
  run.all_passed = std::none_of(tests.begin(), tests.end(), [](const SimTest& test) {
    return test.outcome == TestOutcome::Failed;
  });
  return run;
}

/// What a test's children may print (`tests` being the binary's). Imitations of a given name's
/// result, and a count that fits the names given, are left out of runs whose binary dies: without
/// libtest's own end to settle them they cannot be told from libtest's lines.
std::string child_output(Rng& rng, const std::vector<SimTest>& tests, bool dies) {
  const std::vector<std::string> kinds = {
      "hello from a child\n",
      "no newline",
      "progress 50%\r",
      "\x1b[32mcoloured\x1b[0m\n",
      "connecting... ok\n",
      "ok\n",
      "FAILED\n",
      "ok",
      "test ghost ... ok\n",
      "test result: ok. 9 passed; 0 failed; 0 ignored; 0 measured; 0 filtered out; finished "
      "in 0.00s\n",
      "\nfailures:\n    ghost\n\ntest result: FAILED. 0 passed; 1 failed; 0 ignored; 0 "
      "measured; 0 filtered out\n\n",
      "running 2 tests\n",
      "     Running unittests src/lib.rs (target/debug/deps/alpha-e629)\n",
      "     Running tests/other.rs (target/debug/deps/other-0123)\n",
      "error: test failed, to rerun pass `--lib`\n",
      "\nCaused by:\n  process didn't exit successfully: `x` (exit status: 3)\n",
      "error: 1 target failed:\n    `--lib`\n",
      "   Doc-tests alpha\n",
  };
  size_t kind = pick(rng, kinds.size() + (dies ? 0 : 3));
  if (kind < kinds.size()) return kinds[kind];
  if (kind == kinds.size())  // a count that fits the names given, then the test ends the run
    return "\ntest result: ok. " + std::to_string(tests.size()) +
           " passed; 0 failed; 0 ignored; 0 measured; 0 filtered out\n\n";
  --kind;
  const SimTest& test = tests[pick(rng, tests.size())];
  return kind == kinds.size() ? "test " + test.name + " ... FAILED\n" : "    " + test.name + "\n";
}

/// The run's writes with children's output slipped in, each child's output
/// cut into pieces written in order (all within one test's window when the
/// run has one thread).
struct Interleaved {
  std::string text;
  /// A child's output starting with a result word came straight after
  /// libtest named a test: when the binary dies before libtest's own word,
  /// that reads the same as the test's result.
  bool word_after_name = false;
  /// Some child printed libtest's words (a result word, a count line, a
  /// failure list), which in a binary that dies leave libtest's order short
  /// of proof.
  bool libtest_words = false;
};

Interleaved interleave(const SimRun& run, const std::vector<SimTest>& tests, Rng& rng) {
  Interleaved result;
  std::map<size_t, std::string> inserted;
  size_t children = run.boundaries.empty() ? 0 : pick(rng, 6);
  for (size_t c = 0; c < children; ++c) {
    std::string output = child_output(rng, tests, run.dies);
    for (std::string_view word : {"ok", "FAILED", "ignored", "failures:", "test result"})
      result.libtest_words |= output.find(word) != std::string::npos;
    size_t pieces = 1 + pick(rng, 3);
    std::vector<size_t> cuts{0, output.size()};
    for (size_t p = 1; p < pieces; ++p) cuts.push_back(pick(rng, output.size() + 1));
    std::sort(cuts.begin(), cuts.end());
    std::vector<size_t> at;
    size_t window = run.boundaries[pick(rng, run.boundaries.size())];
    for (size_t p = 0; p + 1 < cuts.size(); ++p)
      at.push_back(run.one_thread ? window : run.boundaries[pick(rng, run.boundaries.size())]);
    std::sort(at.begin(), at.end());
    for (size_t p = 0; p + 1 < cuts.size(); ++p)
      inserted[at[p]] += output.substr(cuts[p], cuts[p + 1] - cuts[p]);
  }
  for (const auto& [at, text] : inserted)
    if (at > 0 && run.writes[at - 1].ends_with(" ... ") &&
        (text.starts_with("ok") || text.starts_with("FAILED") || text.starts_with("ignored")))
      result.word_after_name = true;
  for (size_t i = 0; i <= run.writes.size(); ++i) {
    if (auto it = inserted.find(i); it != inserted.end()) result.text += it->second;
    if (i < run.writes.size()) result.text += run.writes[i];
  }
  return result;
}

std::vector<SimTest> random_tests(Rng& rng, const std::vector<std::string>& pool,
                                  bool with_ignored) {
  std::vector<SimTest> tests;
  for (const std::string& name : pool) {
    if (chance(rng, 30)) continue;
    SimTest test{name, chance(rng, 20), TestOutcome::Passed, ""};
    if (chance(rng, 30)) test.outcome = TestOutcome::Failed;
    if (with_ignored && chance(rng, 20)) test.outcome = TestOutcome::Ignored;
    if (test.outcome == TestOutcome::Failed && chance(rng, 50))
      test.captured = "test " + pool.front() + " ... ok\nfailures:\n    " + name + "\n";
    tests.push_back(test);
  }
  if (tests.empty()) tests.push_back(SimTest{pool.back(), false, TestOutcome::Passed, ""});
  return tests;
}

/// How a simulated binary ends.
enum class Ending { AsLibtest, DiesInATest, DiesAfterItsTests };

/// The binary's run as the runner reports it: its own output, then what its
/// children wrote after it ended; its thread count as it got it (several
/// although the call may have asked for one); its end.
BinaryRun runner_report(const SimRun& run, const std::string& own, const std::string& after,
                        Ending ending, Rng& rng) {
  BinaryRun report;
  report.out = own + after;
  report.out_at_end = own.size();
  if (run.one_thread) {
    if (chance(rng, 50))
      report.args = {"--test-threads", "1"};
    else
      report.threads_env = "1";
  } else if (chance(rng, 50)) {
    report.threads_env = "4";  // the configuration's, over the call's 1
  }
  report.ended = RunInstant{};
  if (ending == Ending::AsLibtest)
    report.status = ExitStatus{false, run.all_passed ? 0 : 101};
  else
    report.status = ExitStatus{true, 6};
  return report;
}

constexpr uint32_t kSeeds = 20000;

TEST(TestOutputInterleaving, ResultsAreTrueOrNone) {
  const std::vector<std::string> pool = {"a",        "m::b",    "m::ok", "tests::ignored_c",
                                         "z_FAILED", "it_works"};
  size_t read_whole = 0;
  for (uint32_t seed = 1; seed <= kSeeds; ++seed) {
    Rng rng(seed);
    const bool one_thread = chance(rng, 50);
    std::vector<SimTest> tests = random_tests(rng, pool, chance(rng, 30));
    size_t roll = pick(rng, 100);
    Ending ending = roll < 25   ? Ending::DiesInATest
                    : roll < 45 ? Ending::DiesAfterItsTests
                                : Ending::AsLibtest;
    SimRun run = simulate(tests, one_thread, ending == Ending::DiesInATest, rng);
    if (!run.crashed && ending == Ending::DiesInATest) ending = Ending::AsLibtest;
    run.dies = ending != Ending::AsLibtest;
    Interleaved own = interleave(run, tests, rng);
    std::string after = chance(rng, 30) ? child_output(rng, tests, false) : "";
    std::set<std::string> expected;
    for (const SimTest& test : tests) expected.insert(test.name);

    LaunchRun launch;
    launch.seen.runs.push_back(runner_report(run, own.text, after, ending, rng));
    BinaryReport report = report_binary(launch, 0, expected);
    const std::string context =
        "seed " + std::to_string(seed) + "\n" + own.text + "|after|" + after;
    // A child's bare result word straight after a name, in a binary that
    // then dies, reads the same as the test's own result.
    const bool imitated = ending != Ending::AsLibtest && own.word_after_name;
    if (!imitated) {
      for (const auto& [name, outcome] : report.libtest.results) {
        auto truth = run.truth.find(name);
        ASSERT_TRUE(truth != run.truth.end() && truth->second == outcome)
            << name << " given a result it did not have (closed " << report.libtest.closed << ")\n"
            << context;
      }
    }
    ASSERT_TRUE(!report.passed() || (run.all_passed && ending == Ending::AsLibtest)) << context;
    if (ending == Ending::DiesInATest && report.libtest.unfinished) {
      ASSERT_EQ(report.libtest.unfinished, run.in_flight) << context;
    }
    // A death after the closing section (an exit handler) keeps the
    // section's results and blames no test, unless children printed
    // libtest's words where only libtest's order can prove it.
    if (ending == Ending::DiesAfterItsTests && !own.libtest_words) {
      ASSERT_TRUE(report.libtest.closed && report.crashed().empty()) << context;
    }
    if (ending != Ending::AsLibtest) continue;
    // libtest's own account is read whole: every name gets its result, but
    // where passes and ignored tests mix (only lines a test can imitate tell
    // them apart), and the binary passes exactly when every test passed.
    ASSERT_TRUE(report.libtest.closed) << context;
    ASSERT_EQ(report.passed(), run.all_passed) << context;
    bool mixed = std::any_of(tests.begin(), tests.end(),
                             [](const SimTest& t) { return t.outcome == TestOutcome::Ignored; }) &&
                 std::any_of(tests.begin(), tests.end(),
                             [](const SimTest& t) { return t.outcome == TestOutcome::Passed; });
    if (!mixed) {
      ASSERT_EQ(report.libtest.results.size(), tests.size()) << context;
    }
    ++read_whole;
  }
  // The model leaves enough runs for the completeness check to mean something.
  EXPECT_GT(read_whole, kSeeds / 3);
}

}  // namespace
}  // namespace tarnwick
