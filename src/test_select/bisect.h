#pragma once
/// Bisection of a test suite: one `cargo test --no-run` build, the tests of
/// each binary listed, then groups of tests run through cargo, one test
/// thread and exact names, under a kill deadline from the binary's start,
/// and every hung, failed or slow group split depth first until the tests to
/// blame are found. The answer is a text of newline-delimited JSON records.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/duration.h"
#include "base/error.h"
#include "platform/write_file.h"
#include "runner/run_types.h"
#include "test_select/bisect_config.h"
#include "test_select/enumerate.h"
#include "test_select/test_launch.h"

namespace tarnwick {

/// A test to blame, with the share of its group's time.
struct Culprit {
  std::string package;
  std::string target;
  std::string test;
  std::string classification;  // "hung", "failed" or "slow"
  Duration elapsed;
};

/// Counts kept across all binaries of one bisection.
struct BisectTotals {
  uint64_t binaries_with_tests = 0;
  uint64_t tests_enumerated = 0;
  uint64_t tests_considered = 0;
  uint64_t groups_run = 0;
  /// First-level groups that hung or failed while none of their tests was
  /// found hung or failed on its own (the tests interact, or one is flaky).
  uint64_t groups_without_culprit = 0;
  std::vector<std::string> enumeration_errors;
  std::vector<Culprit> culprits;
};

/// How one batch of a group ran.
struct BatchRun {
  enum class Verdict { Passed, Failed, Hung };
  Verdict verdict = Verdict::Passed;
  /// From the binary's start to its end, or to its kill.
  Duration elapsed;
};

/// Runs one batch of a group: the binary given `names` (none: the binary
/// run whole), killed when it runs longer than `budget`. A run given names
/// passed only when it exited 0 and libtest accounted for each of them. A
/// batch that cannot be run fails with why. The engine's own runs it through
/// cargo; tests substitute a fake.
using BatchRunner = std::function<Result<BatchRun>(
    const TestBinary& binary, const std::vector<std::string>& names, Duration budget)>;

/// The group search over the binaries of one call: its settings, the group
/// records written so far and the totals.
struct BisectSearch {
  const BisectConfig& config;
  const ProgressSink& sink;
  BatchRunner run_batch;
  std::string records;
  BisectTotals totals;
};

/// Runs batches through cargo with the call's selection and the binary's
/// target selector, one test thread, `--exact` and the names (with
/// `--include-ignored` when asked). `binaries` are all the build's test
/// binaries, and every batch's binary is one of them; both must outlive the
/// runner.
BatchRunner cargo_batch_runner(const TestRunBase& base, const std::vector<TestBinary>& binaries,
                               bool include_ignored);

/// Searches the considered tests of one binary: first-level groups, then
/// depth first through the splits of every interesting group. Appends one
/// record per group run and collects the culprits. A batch that cannot be
/// run ends the search with its error.
Status search_binary(BisectSearch& search, const TestBinary& binary,
                     const std::vector<std::string>& names);

/// Runs a binary that has no libtest names (harness = false) once as a whole,
/// without arguments, as one first-level group of no tests: a hang or a
/// failure counts as a group without culprit.
Status run_whole_binary(BisectSearch& search, const TestBinary& binary);

/// Everything a bisection needs from the tool call, read and checked by the
/// caller.
struct BisectRequest {
  BisectConfig config;
  /// "test", "--no-run", "--message-format=json" and the selection flags,
  /// after the toolchain selector when there is one.
  std::vector<std::string> build_argv;
  /// What the group runs share with the build; its working directory is the
  /// call's.
  TestRunBase run_base;
  /// The call selects no targets by kind or name, so `cargo test` would run
  /// the doctests of its libraries too.
  bool default_targets = false;
  /// Already checked against the working directory.
  std::optional<std::string> output_path;
  /// The working directory as opened when the call began, which the output file is written
  /// beneath; borrowed from the caller, never null.
  const platform::WorkingDir* working_dir = nullptr;
};

/// The answer text and whether it reports a failure.
struct BisectAnswer {
  std::string text;
  bool is_error = false;
};

/// Builds, lists and searches as described above. Fails when the build
/// cannot run, the call is cancelled, or the output file cannot be written. A failed build answers
/// with the build's own result; a group run that cannot start ends the
/// search, and the answer holds the error line after the records so far,
/// then the culprits, the summary and the error status.
Result<BisectAnswer> run_bisect_engine(const BisectRequest& request, const ProgressSink& sink);

/// A duration in the records' seconds form: a double rounded to
/// milliseconds (half away from zero), null when not finite.
json bisect_seconds(Duration d);

}  // namespace tarnwick
