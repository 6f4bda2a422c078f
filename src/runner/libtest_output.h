#pragma once
/// libtest's console output, read one way for every caller: the names a
/// `--list` run shows, the results a run reports for the tests it was given,
/// and the lines that show a run moving. Output that libtest cannot capture
/// (child processes writing to the inherited streams, writes without a line
/// feed, `--nocapture`) lands between libtest's own writes, anywhere, and
/// may imitate them. libtest's closing section (its failure list and count
/// line), written once every test has ended, is what the results are read
/// from; a run without it (a crash, a kill) yields only what its structure
/// proves.

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

/// How many threads libtest ran the tests on, as far as the caller knows.
/// With one, libtest names each test as it starts it and writes its result
/// after everything the test printed; with several, it names a test only
/// with its result, and other tests' output may stand anywhere around it.
enum class TestThreads { One, Unknown };

/// What libtest reported about a run of some of the binary's tests.
struct LibtestRun {
  /// The expected names whose result the output settles.
  std::map<std::string, TestOutcome> results;
  /// libtest's closing section was read, agrees with itself and accounts
  /// for exactly the expected names, each of which libtest named while the
  /// tests ran: the run's own, complete account.
  bool closed = false;
  /// With one test thread and no closing section: the expected name libtest
  /// started last, whose result it never wrote (whatever a child printed
  /// after its name): the test in flight when the binary ended.
  std::optional<std::string> unfinished;
  /// Expected names whose thread the runtime reported as overflowing its
  /// stack.
  std::vector<std::string> overflowed;
};

/// How the binary's run ended: it exited (with any code), or it died
/// mid-run (a signal, a kill when its time ran out). libtest writes its
/// closing section last and then exits, so a run that died has none of its
/// own: a count line there is something a test printed.
enum class RunEnd { Exited, Died };

/// Reads the results of the expected names (those given to the binary that
/// it holds) from a run's output. A name libtest never named has no result,
/// whatever a count line says.
LibtestRun read_libtest_run(std::string_view output, const std::set<std::string>& expected,
                            TestThreads threads, RunEnd end);

/// A line libtest writes while a binary runs but never as the first line of
/// its output: a result line, the count line, or a one-thread result on a
/// line of its own.
bool is_libtest_continuation_line(std::string_view line);

/// A libtest line that shows a run moving: "running N tests" or a per-test
/// "test NAME ... RESULT" line.
bool is_libtest_progress_line(std::string_view line);

}  // namespace tarnwick
