#pragma once
/// libtest's console output, read one way for every caller: the names a
/// `--list` run shows, the results a run reports for the tests it was given,
/// and the lines that show a run moving. Output that libtest cannot capture
/// (child processes writing to the inherited streams, writes without a line
/// feed, `--nocapture`) lands between libtest's own writes, anywhere, and
/// may imitate them. libtest's closing section (its failure list and count
/// line), written once every test has ended, is what the results are read
/// from; a run without one that agrees with itself (a crash, a kill) yields
/// only what its structure proves.

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
  /// The word of the output's last count line ("ok" true, "FAILED" false),
  /// when it has one.
  std::optional<bool> last_count_ok;
  /// With one test thread and no closing section: the expected name libtest
  /// started last, whose result it never wrote (whatever a child printed
  /// after its name): the test in flight when the binary ended.
  std::optional<std::string> unfinished;
};

/// Reads the results of the expected names (those given to the binary that
/// it holds) from what the binary wrote to standard output; `exit_code` is
/// the binary's, empty when it died of a signal or was killed. A name
/// libtest never named has no result, whatever a count line says. A binary
/// that died after its closing section (in an exit handler, say) keeps the
/// results the section gives.
LibtestRun read_libtest_run(std::string_view output, const std::set<std::string>& expected,
                            TestThreads threads, std::optional<int> exit_code);

/// The threads libtest runs tests on, from the binary's arguments (a
/// `--test-threads` there wins) and the RUST_TEST_THREADS it got.
TestThreads test_threads_of(const std::vector<std::string>& args,
                            const std::optional<std::string>& threads_env);

/// Names of expected tests whose thread the runtime reported as
/// overflowing its stack, in what the binary wrote to standard error.
std::vector<std::string> overflowed_tests(std::string_view err,
                                          const std::set<std::string>& expected);

/// A libtest line that shows a run moving: "running N tests" or a per-test
/// "test NAME ... RESULT" line, naming one of `names` when they are given.
bool is_libtest_progress_line(std::string_view line, const std::set<std::string>* names = nullptr);

}  // namespace tarnwick
