#pragma once
/// Bisection of a test suite: one `cargo test --no-run` build, the tests of
/// each binary listed, then groups of tests run directly through the binary
/// under a kill deadline, and every hung, failed or slow group split depth
/// first until the tests to blame are found. The answer is a text of
/// newline-delimited JSON records.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/duration.h"
#include "base/error.h"
#include "platform/write_file.h"
#include "runner/captured.h"
#include "runner/run_types.h"
#include "test_select/bisect_config.h"
#include "test_select/enumerate.h"
#include "test_select/test_env.h"

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

/// Runs one batch of a group: the binary with `args` under `budget`. The
/// engine's own starts the binary as cargo would; tests substitute a fake.
/// Returns the run's output or its failure (`TimeoutError` when the budget
/// ran out).
using BatchRunner = std::function<Result<CapturedOutput>(
    const TestBinary& binary, const std::vector<std::string>& args, Duration budget)>;

/// The group search over the binaries of one call: its settings, the group
/// records written so far and the totals.
struct BisectSearch {
  const BisectConfig& config;
  const ProgressSink& sink;
  BatchRunner run_batch;
  std::string records;
  BisectTotals totals;
};

/// Starts the binary in its package root with what cargo gives it
/// (`test_run_place`); a run that cannot start names the binary and folder.
BatchRunner test_env_runner(const TestEnvironment& environment);

/// Searches the considered tests of one binary: first-level groups, then
/// depth first through the splits of every interesting group. Appends one
/// record per group run and collects the culprits. A batch that cannot be
/// run (other than by running out of budget) ends the search with its error.
/// A run given names that libtest did not account for (`account_for_run`)
/// failed, whatever its exit code.
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
  /// How to learn what cargo gives the test binaries.
  TestEnvQuery env_query;
  std::optional<std::string> cwd;
  /// Already checked against `cwd`.
  std::optional<std::string> output_path;
  /// `cwd` as opened when the call began, which the output file is written
  /// beneath; borrowed from the caller, never null.
  const platform::WorkingDir* working_dir = nullptr;
};

/// The answer text and whether it reports a failure.
struct BisectAnswer {
  std::string text;
  bool is_error = false;
};

/// Builds, lists and searches as described above. Fails when the build
/// cannot run, what cargo gives test binaries cannot be learnt, the call is
/// cancelled, or the output file cannot be written. A failed build answers
/// with the build's own result; a group run that cannot start ends the
/// search, and the answer holds the error line after the records so far,
/// then the culprits, the summary and the error status.
Result<BisectAnswer> run_bisect_engine(const BisectRequest& request, const ProgressSink& sink);

/// A duration in the records' seconds form: a double rounded to
/// milliseconds (half away from zero), null when not finite.
json bisect_seconds(Duration d);

}  // namespace tarnwick
