#pragma once
/// What the tool handlers hand the runner and what a run hands back.

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/duration.h"
#include "base/error.h"

namespace tarnwick {

/// Receives each output line of a run (without its line feed), on the main
/// thread. Reports progress when the request carried a token.
using ProgressSink = std::function<void(std::string_view line)>;

/// A sink that does nothing, for calls without a progress token.
inline const ProgressSink& null_sink() {
  static const ProgressSink sink = [](std::string_view) {};
  return sink;
}

/// Sees each standard-output line as a run collects it (after the advisory
/// demotion), with where it starts in the collected text, so that a caller
/// can read the output while cargo still writes. A run's first line starts
/// at 0: an attempt after another begins anew there. Called on the run's
/// thread; when the run changes its collected text at the end, every line
/// is shown again from 0.
using OutputWatcher = std::function<void(std::string_view line, size_t offset)>;

/// Whether a run that failed on a busy file may be run again.
enum class BusyRetry {
  /// As its subcommand allows (see `is_retryable_subcommand`).
  BySubcommand,
  /// Never: the run edits the sources (`cargo clippy --fix`), and a second
  /// attempt would hide what the first one did.
  Never,
};

struct RunRequest {
  /// cargo's arguments, without the program; may start with "+toolchain".
  std::vector<std::string> argv;
  /// Where cargo runs; empty means the server's own current directory.
  std::optional<std::string> cwd;
  /// Kill deadline; empty means no limit.
  std::optional<Duration> timeout;
  /// The test-execution phase of cargo_test: the clock starts at build-finished.
  bool phased = false;
  /// Never null while a run uses it; defaults to the null sink.
  const ProgressSink* sink = &null_sink();
  /// Null when nobody watches.
  const OutputWatcher* watcher = nullptr;
  BusyRetry busy_retry = BusyRetry::BySubcommand;
  /// cargo's standard error goes into its standard output, one stream in the
  /// order both were written (its status lines between the output of the
  /// test binaries it runs); the output's `stderr_text` is then empty.
  bool stderr_into_stdout = false;
  /// Variables set in cargo's environment on top of the child environment.
  std::vector<std::pair<std::string, std::string>> extra_env;
  /// When the call's clock began, if before this run: the time the call spent
  /// before it (counting packages) counts against `timeout` and shows in a
  /// timeout's elapsed time. Empty means the run's own start. Not read when
  /// phased.
  std::optional<std::chrono::steady_clock::time_point> clock_start;
};

struct RunOutput {
  std::string stdout_text;  // every line followed by its `line_end_for`
  std::string stderr_text;
  int32_t exit_code = 0;
};

using RunResult = Result<RunOutput>;

}  // namespace tarnwick
