#pragma once
/// The test binaries cargo starts during one of its runs, as tarnwick's test
/// runner reports them: cargo starts the runner in each binary's place (the
/// target's runner variable names it), and the runner asks here whether to
/// start it. What each binary wrote, the thread count it got, when it
/// started and how it ended are facts of its own process, never read from
/// cargo's text.

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/error.h"
#include "runner/run_types.h"
#include "runner/target_runner.h"

namespace tarnwick {

using RunInstant = std::chrono::steady_clock::time_point;

/// How a process ended: its exit code, or the signal that ended it.
struct ExitStatus {
  bool signalled = false;
  int value = 0;

  bool success() const { return !signalled && value == 0; }
};

/// "exit code 3", or "signal: 6, SIGABRT: Aborted".
std::string describe_exit(const ExitStatus& status);

/// What the runner saw of one test binary it started.
struct BinaryRun {
  size_t binary = 0;  // into the plan's executables
  /// cargo's arguments for the binary (its path left out).
  std::vector<std::string> args;
  /// RUST_TEST_THREADS as the runner got it, when set.
  std::optional<std::string> threads_env;
  /// The user's runner started the binary, and may have changed both.
  bool through_user_runner = false;
  std::string out;  // its standard output
  std::string err;  // its standard error
  /// The size of `out` when its end was reported: all it wrote itself.
  /// What comes after is its children's, written after it ended.
  std::optional<size_t> out_at_end;
  RunInstant started;
  /// The last libtest progress line about a test of the run, or the start.
  RunInstant last_progress;
  std::optional<RunInstant> ended;
  /// Set with `ended`; never set for a binary killed with its run.
  std::optional<ExitStatus> status;
  /// Why the binary could not be started, when it could not.
  std::optional<std::string> start_error;

  /// What the binary itself wrote to standard output.
  std::string_view own_out() const {
    return out_at_end ? std::string_view(out).substr(0, *out_at_end) : std::string_view(out);
  }
};

/// Which binaries one cargo run starts, and how.
struct BinaryRunPlan {
  /// Every test binary of the call's build, as cargo reported them.
  std::vector<std::string> executables;
  /// Which of them this run starts; the runner lets the others end at once,
  /// unstarted, and so does it for a binary the build did not report.
  std::vector<bool> to_start;
  /// Each target's runner variable and the user's runner, which still
  /// starts the binary; the variable is put back as the user had it.
  std::vector<TargetRunner> targets;
  /// The value the skips variable has in the user's environment, if any.
  std::optional<std::string> skips_value;
  /// The runner program and the arguments before the channel's address.
  std::vector<std::string> runner_command;
  /// The tests whose libtest lines show a binary moving (any, when empty).
  std::set<std::string> progress_names;
};

/// The runner program: the one installed beside the server when it is
/// there and its path holds no white space (cargo splits the variable's
/// value at white space), else the server itself in the runner's part.
std::vector<std::string> default_runner_command();

/// What was seen of a run once it ended.
struct BinaryRunsSeen {
  std::vector<BinaryRun> runs;  // in the order they started
  /// Binaries the runner let end unstarted: the build's ones this run does
  /// not start, and those the build did not report, as cargo named them.
  std::vector<std::string> skipped;
  std::vector<std::string> unknown;
};

/// Watches one cargo run's test binaries on a thread of its own.
class BinaryRunWatch {
 public:
  /// Opens the runners' channel and starts watching it.
  static Result<std::unique_ptr<BinaryRunWatch>> start(BinaryRunPlan plan);
  ~BinaryRunWatch();
  BinaryRunWatch(const BinaryRunWatch&) = delete;
  BinaryRunWatch& operator=(const BinaryRunWatch&) = delete;

  /// The variables that make cargo start every binary through the runner.
  std::vector<std::pair<std::string, std::string>> cargo_variables() const;

  /// Hands `sink` each line the binaries wrote since the last call.
  void forward_lines(const ProgressSink& sink);

  /// Where the clocks of the run stand.
  struct Moment {
    std::optional<RunInstant> first_start;
    /// The binary running now, if one is.
    std::optional<size_t> running;
    RunInstant started;
    RunInstant last_progress;
  };
  Moment moment() const;

  /// Ends the watch once every process of the run is gone: takes what the
  /// pipes still hold and returns all that was seen. Call once.
  BinaryRunsSeen finish();

 private:
  struct State;
  explicit BinaryRunWatch(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

}  // namespace tarnwick
