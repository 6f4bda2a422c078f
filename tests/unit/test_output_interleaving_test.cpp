// A property of how test output is read: libtest's writes for a run (one or
// several threads, passes, failures, ignored tests, a crash), with what
// tests' children print (lines, partial lines, imitations of libtest's and
// cargo's lines) slipped in at random write boundaries, and the whole read
// through cargo's stream and libtest's reader as a launch reads it. Every
// name's result is its true one or none, and a binary never passes unless
// all its tests did.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "base/text_lines.h"
#include "runner/libtest_output.h"
#include "test_select/cargo_test_stream.h"

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
/// result are left out of runs that crash: with no closing section to settle them they cannot be
/// told from libtest's own. So is an exact copy of cargo's line for starting a binary the run has
/// yet to start, which no reader can tell from cargo's.
std::string child_output(Rng& rng, const std::vector<SimTest>& tests, bool crash) {
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
  size_t kind = pick(rng, kinds.size() + (crash ? 1 : 3));
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
/// run has one thread). `word_after_name` tells whether a child's output
/// starting with a result word came straight after libtest named a test:
/// when the output read ends before libtest's own word (the binary died, or
/// a child's copy of cargo's failure and closing lines ended its part), that
/// reads the same as the test's result, unless libtest ran one thread and
/// the reader knows it.
std::string interleave(const SimRun& run, const std::vector<SimTest>& tests, Rng& rng,
                       bool& word_after_name) {
  std::map<size_t, std::string> inserted;
  size_t children = run.boundaries.empty() ? 0 : pick(rng, 6);
  for (size_t c = 0; c < children; ++c) {
    std::string output = child_output(rng, tests, run.crashed);
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
      word_after_name = true;
  std::string text;
  for (size_t i = 0; i <= run.writes.size(); ++i) {
    if (auto it = inserted.find(i); it != inserted.end()) text += it->second;
    if (i < run.writes.size()) text += run.writes[i];
  }
  return text;
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

const std::vector<KnownBinary> kKnown = {{"/w/target/debug/deps/alpha-e629", "--lib"},
                                         {"/w/target/debug/deps/it-9a3a", "--test it"}};
const std::vector<std::string> kShown = {"unittests src/lib.rs (target/debug/deps/alpha-e629)",
                                         "tests/it.rs (target/debug/deps/it-9a3a)"};

std::string artifact(const KnownBinary& binary) {
  return R"({"reason":"compiler-artifact","package_id":"path+file:///w/app#0.1.0",)"
         R"("target":{"kind":["lib"],"name":"app"},"profile":{"test":true},"executable":")" +
         binary.executable + "\"}\n";
}

/// Feeds `text` to a stream line by line.
CargoTestStream read_stream(const std::string& text, StreamFormat format) {
  CargoTestStream stream(kKnown, format);
  StreamInstant at{};
  for (std::string_view line : split_lines(text)) stream.take(line, at += std::chrono::seconds(1));
  stream.finish(at, true);
  return stream;
}

constexpr uint32_t kSeeds = 20000;

TEST(TestOutputInterleaving, ResultsAreTrueOrNone) {
  const std::vector<std::vector<std::string>> pools = {
      {"a", "m::b", "m::ok", "tests::ignored_c", "z_FAILED"}, {"a", "it_works", "test_c", "m::d"}};
  for (uint32_t seed = 1; seed <= kSeeds; ++seed) {
    Rng rng(seed);
    const bool one_thread = chance(rng, 50);
    const bool with_ignored = chance(rng, 30);
    std::string cargo = artifact(kKnown[0]) + artifact(kKnown[1]) +
                        "{\"reason\":\"build-finished\",\"success\":true}\n"
                        "    Finished `test` profile [unoptimized + debuginfo] target(s)\n";
    std::vector<SimRun> runs;
    std::vector<std::vector<SimTest>> tests;
    std::vector<std::string> failed_targets;
    bool word_after_name[2] = {false, false};
    std::string outputs[2];
    for (size_t b = 0; b < kKnown.size(); ++b) {
      tests.push_back(random_tests(rng, pools[b], with_ignored));
      runs.push_back(simulate(tests[b], one_thread, chance(rng, 25), rng));
      outputs[b] = interleave(runs[b], tests[b], rng, word_after_name[b]);
      cargo += "     Running " + kShown[b] + "\n" + outputs[b];
      if (!runs[b].crashed && runs[b].all_passed) continue;
      const std::string& selector = kKnown[b].selector;
      cargo += "error: test failed, to rerun pass `" + selector + "`\n";
      if (runs[b].crashed)
        cargo += "\nCaused by:\n  process didn't exit successfully: `" + kKnown[b].executable +
                 "` (signal: 6, SIGABRT: process abort signal)\n";
      failed_targets.push_back(selector);
    }
    if (!failed_targets.empty()) {
      cargo += "error: " + std::to_string(failed_targets.size()) + " target" +
               (failed_targets.size() == 1 ? "" : "s") + " failed:\n";
      for (const std::string& target : failed_targets) cargo += "    `" + target + "`\n";
    }

    CargoTestStream stream = read_stream(cargo, StreamFormat::Tests);
    for (size_t b = 0; b < kKnown.size(); ++b) {
      std::set<std::string> expected;
      for (const SimTest& test : tests[b]) expected.insert(test.name);
      const BinaryPart* part = nullptr;
      for (const BinaryPart& candidate : stream.parts())
        if (candidate.binary == b && !part) part = &candidate;
      ASSERT_TRUE(part) << "seed " << seed << "\n" << cargo;
      for (TestThreads threads : {TestThreads::One, TestThreads::Unknown}) {
        if (threads == TestThreads::One && !one_thread) continue;
        std::string whole = outputs[b];
        if (!whole.empty() && !whole.ends_with('\n')) whole += '\n';
        bool cut_short = runs[b].crashed || part->output != whole;
        if (threads == TestThreads::Unknown && cut_short && word_after_name[b]) continue;
        RunEnd end =
            part->ended && part->exit && !part->exit->signalled() ? RunEnd::Exited : RunEnd::Died;
        LibtestRun read = read_libtest_run(part->output, expected, threads, end);
        for (const auto& [name, outcome] : read.results) {
          auto truth = runs[b].truth.find(name);
          ASSERT_TRUE(truth != runs[b].truth.end() && truth->second == outcome)
              << "seed " << seed << ": " << name << " given a result it did not have (binary " << b
              << ", threads " << (threads == TestThreads::One) << ", closed " << read.closed
              << ")\n"
              << cargo;
        }
        bool passed = part->ended && part->exit && part->exit->code == 0 && read.closed;
        ASSERT_TRUE(!passed || (runs[b].all_passed && !runs[b].crashed))
            << "seed " << seed << ": binary " << b << " passed\n"
            << cargo;
        if (part->exit && part->exit->signalled() && read.unfinished) {
          ASSERT_EQ(read.unfinished, runs[b].in_flight) << "seed " << seed << "\n" << cargo;
        }
      }
    }
  }
}

// A --list run: whatever a binary's first test is called, each binary's part
// holds exactly its own listing.
TEST(TestOutputInterleaving, ListingsStayWithTheirBinary) {
  const std::vector<std::string> pool = {
      "ignored_paths_are_skipped", "ok", "FAILED", "test_result", "running_two", "m::a"};
  for (uint32_t seed = 1; seed <= 300; ++seed) {
    Rng rng(seed);
    std::string cargo = artifact(kKnown[0]) + artifact(kKnown[1]);
    std::vector<std::vector<std::string>> names(2);
    for (size_t b = 0; b < 2; ++b) {
      cargo += "     Running " + kShown[b] + "\n";
      for (const std::string& name : pool)
        if (chance(rng, 50)) names[b].push_back(name);
      for (const std::string& name : names[b]) cargo += name + ": test\n";
      if (!names[b].empty()) cargo += "\n";
      cargo += std::to_string(names[b].size()) + " tests, 0 benchmarks\n";
    }
    CargoTestStream stream = read_stream(cargo, StreamFormat::Listing);
    ASSERT_EQ(stream.parts().size(), 2u) << cargo;
    for (size_t b = 0; b < 2; ++b)
      ASSERT_EQ(read_libtest_listing(stream.parts()[b].output).names, names[b]) << cargo;
  }
}

}  // namespace
}  // namespace tarnwick
