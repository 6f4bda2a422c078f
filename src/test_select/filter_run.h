#pragma once
/// A test_filter run: one build, the tests of every test binary listed and
/// matched, and the matches launched through cargo in groups or one by one,
/// under an execution clock that all launches share.

#include <re2/re2.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/duration.h"
#include "base/error.h"
#include "runner/run_types.h"
#include "test_select/filter_records.h"
#include "test_select/test_launch.h"

namespace tarnwick {

/// Everything a run needs, read from the call's arguments beforehand.
struct FilterPlan {
  std::string pattern_text;
  const RE2* pattern = nullptr;  // compiled `pattern_text`; outlives the run
  bool include_ignored = false;
  /// The --no-run build, toolchain selector in front.
  std::vector<std::string> build_argv;
  /// What the launches share with the build; its working directory is the
  /// call's.
  TestRunBase run_base;
  /// The call selects no targets by kind or name, so `cargo test` would run
  /// the doctests of its libraries too.
  bool default_targets = false;
  /// The build's own limit, from its start; empty means none.
  std::optional<Duration> build_budget;
  /// Execution time for all launches together, counted from the start of the
  /// first test binary; empty means none.
  std::optional<Duration> overall_budget;
  /// Batched: the longest silence between libtest progress lines. One test
  /// per launch: the longest a binary runs. Both from the binary's start.
  std::optional<Duration> per_test_budget;
  bool per_test_execution = false;
  /// Stop after the build, as `no_run` does without a filter.
  bool no_run = false;
};

/// The answer text of a run and the exit code that decides its error flag.
struct FilterRun {
  std::string text;
  int32_t exit_code = 0;
};

/// Runs the plan. A failed build, and every build with `no_run`, answers
/// with the build's own text. Fails
/// when the build cannot run and with `CancelledError` when the client
/// cancels; every other failure is part of the text.
Result<FilterRun> run_filtered_tests(FilterPlan plan, const ProgressSink& sink);

}  // namespace tarnwick
