#pragma once
/// Running cargo: one supervised run with its kill clock, idle clock and
/// cancellation, and the retrying entry every tool handler goes through.

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/duration.h"
#include "runner/child.h"
#include "runner/restart_manager.h"
#include "runner/run_types.h"

namespace tarnwick {

using SteadyInstant = std::chrono::steady_clock::time_point;

/// `from` plus `span`, or nothing when that does not fit the clock.
std::optional<SteadyInstant> instant_after(SteadyInstant from, Duration span);

/// Answers true at the line where the timed phase begins. May keep state of
/// its own; it is never asked again once it has answered true.
using PhaseBoundary = std::function<bool(std::string_view line)>;

/// Answers true for a line that restarts the idle clock.
using IdleRestart = std::function<bool(std::string_view line)>;

/// Looked at with the clocks, on the run's thread, at least every 50 ms
/// while the run lasts: a reason to stop it now, when one has come up.
using RunWatch = std::function<std::optional<Error>()>;

/// The clocks of one run. `request.timeout` and `request.phased` are read
/// only by `run_cargo_with_retry`; a direct caller of `run_cargo_once` says
/// everything here.
struct RunClocks {
  /// Length of the kill clock (from the start, or from the boundary).
  std::optional<Duration> timeout;
  /// A kill instant fixed by the caller; never moved by the boundary.
  std::optional<SteadyInstant> deadline;
  /// Length of the idle clock; with a boundary it starts there.
  std::optional<Duration> idle_timeout;
  /// Empty means the clocks start at once.
  PhaseBoundary phase_boundary;
  /// The lines after the boundary that restart the idle clock; empty means
  /// the idle clock is a fixed cap.
  IdleRestart idle_restart;
  /// Clocks of the caller's own, on what the run started besides cargo.
  RunWatch watch;
};

/// Runs cargo once: resolves and logs the program, streams each standard
/// output line to the sink while collecting it, and kills the whole tree
/// when a clock fires (`TimeoutError`) or the call is cancelled
/// (`CancelledError`). A cargo that exits, with any code, is an output.
RunResult run_cargo_once(const RunRequest &request, const RunClocks &clocks = {});

/// The entry through which handlers run cargo: one deadline across all
/// attempts (or, phased, the whole timeout per attempt from build-finished),
/// and retries of retryable subcommands that failed on a busy file, naming
/// the processes that hold it.
RunResult run_cargo_with_retry(const RunRequest &request);

/// The line marks the end of cargo's build.
bool is_build_finished_line(std::string_view line);

/// A boundary like `is_build_finished_line` that also stores the instant of
/// the first build-finished line in `shared_start` when it is still empty,
/// so several runs can share one execution clock. `shared_start` must
/// outlive the predicate.
PhaseBoundary stamp_build_finished(std::optional<SteadyInstant> &shared_start);

/// When cargo's error shows it ran in the wrong directory, appends a hint
/// naming the directory it ran in.
void append_failure_hints(std::string &stderr_text, const std::optional<std::string> &cwd);

/// Whether a line of `text` reports a file that another process holds.
/// Lines about the incremental-session advisory never count.
bool is_transient_busy_error(std::string_view text);

/// "name (image) (PID n)" for every holder of every path, sorted, each
/// once, the first four joined by ", " and the rest counted as " (+N more)".
std::string holder_summary(const std::vector<PathHolders> &list);

/// Whether busy failures of this argv may be retried (its subcommand, after
/// an optional "+toolchain").
bool is_retryable_subcommand(const std::vector<std::string> &argv);

}  // namespace tarnwick
