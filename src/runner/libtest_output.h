#pragma once
/// libtest's console output, read one way for every caller: the names a
/// `--list` run shows, the results a run reports for the tests it was given,
/// and the lines that show a run moving. Output that libtest cannot capture
/// (child processes writing to the inherited streams, writes without a line
/// feed, `--nocapture`) may split libtest's own lines or imitate them; the
/// reader keeps to the names it was given and to the last of each kind of
/// line, so such output can neither invent a result nor hide one.

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick {

/// What a `--list` run showed.
struct TestListing {
  std::vector<std::string> names;  // in output order
  /// The listing closed with libtest's count line ("N tests, M benchmarks").
  bool count_line = false;
  /// A binary whose listing shows neither names nor the count line does not
  /// speak libtest's protocol (harness = false): its tests cannot be picked.
  /// Set as read, so it holds when names are later left out.
  bool listable = false;
};

/// Reads the "NAME: test" lines and the count line of a `--list` run.
TestListing read_libtest_listing(std::string_view output);

enum class TestOutcome { Passed, Failed, Ignored };

/// libtest's count line: "test result: ok. 2 passed; 0 failed; 1 ignored; ...".
struct LibtestCounts {
  uint64_t passed = 0;
  uint64_t failed = 0;
  uint64_t ignored = 0;
};

/// What libtest reported about a run of some of the binary's tests.
struct LibtestRun {
  /// The result of each given name that libtest reported, the last report
  /// of a name winning.
  std::map<std::string, TestOutcome> results;
  /// The last count line of the output.
  std::optional<LibtestCounts> counts;
  /// A given name whose "test NAME ... " line never got its result: with one
  /// test thread, the test that was running when the binary ended.
  std::optional<std::string> unfinished;
  /// Given names whose thread the runtime reported as overflowing its stack.
  std::vector<std::string> overflowed;

  /// Whether the run accounts for exactly `expected`: each reported, and the
  /// final count line agreeing with the results. A binary that ended early
  /// or a child printing result lines of its own leaves this false.
  bool accounts_for(const std::set<std::string>& expected) const;
};

/// Reads the results of the given names from a run's output. Lines naming
/// other tests ("test ghost ... ok" from a child process) count as output.
LibtestRun read_libtest_run(std::string_view output, const std::set<std::string>& given);

/// A line libtest writes while a binary runs but never as the first line of
/// its output: a result line, the count line, or a one-thread result on a
/// line of its own.
bool is_libtest_continuation_line(std::string_view line);

/// A libtest line that shows a run moving: "running N tests" or a per-test
/// "test NAME ... RESULT" line.
bool is_libtest_progress_line(std::string_view line);

}  // namespace tarnwick
