#pragma once
/// Runs test binaries the way `cargo test` runs them, by letting cargo start
/// them: the call's own package, feature, profile, target and manifest
/// selection (so cargo runs the very binaries the call's build made, with
/// its runners, `[env]`, build-script values and library paths), and the
/// libtest arguments after "--". cargo starts each binary through
/// tarnwick's test runner, which starts only the binaries a launch is for
/// and tells what each did: its own output, its thread count, when it
/// started and how it ended.

#include <optional>
#include <set>
#include <string>
#include <vector>

#include "base/duration.h"
#include "base/error.h"
#include "runner/binary_runs.h"
#include "runner/libtest_output.h"
#include "runner/run_types.h"
#include "test_select/enumerate.h"

namespace tarnwick {

/// What every cargo run of one call's test binaries shares.
struct TestRunBase {
  /// "+toolchain", when the call names one.
  std::optional<std::string> toolchain;
  /// The call's package selection, as its build used it.
  std::vector<std::string> packages;
  /// The call's target selection; empty means every target `cargo test`
  /// tests (`--tests`: the same binaries, without the doctests).
  std::vector<std::string> targets;
  /// The call's feature, profile, manifest and lock flags.
  std::vector<std::string> build_flags;
  /// The call's `--target` values, which the binaries are built for.
  std::vector<std::string> build_targets;
  std::optional<std::string> cwd;
  /// The runner variable of each target the binaries are built for, with the
  /// user's own runner; see `prepare_test_runner`.
  std::vector<TargetRunner> runner_targets;
  /// The value the runner's skips variable has for the user, if any.
  std::optional<std::string> runner_skips_value;
  /// tarnwick's test runner and its leading arguments.
  std::vector<std::string> runner_command = default_runner_command();
};

/// Starts asking rustc for the host ahead of the call's build, when the call
/// names no target; the probe then runs beside the build.
HostProbe start_runner_probe(const TestRunBase& base);

/// Works out, once per call, the targets the binaries are built for and the
/// runner cargo would start them with, into `base`; `early` is the probe
/// started for it.
Status prepare_test_runner(TestRunBase& base, HostProbe& early);

/// The clocks of a launch.
struct LaunchClocks {
  /// From each binary's start: the longest it may run, or, with `silence`,
  /// the longest it may go without a libtest progress line (about one of
  /// `names`, when given).
  std::optional<Duration> per_binary;
  bool silence = false;
  std::set<std::string> names;
  /// The call's execution budget, counted from the first start of a binary
  /// in any launch of the call; `first_start` (when given) holds that
  /// instant across launches.
  std::optional<Duration> overall;
  std::optional<RunInstant>* first_start = nullptr;
};

/// One launch as it ended.
struct LaunchRun {
  std::vector<std::string> argv;  // cargo's arguments, toolchain first
  /// The binaries every build binary of the call ran as, and those cargo
  /// let the runner end unstarted.
  BinaryRunsSeen seen;
  std::string cargo_json;  // cargo's JSON messages, one per line
  std::string cargo_text;  // cargo's other lines
  /// cargo's exit code; -1 when the run was stopped.
  int32_t exit_code = -1;
  /// The timeout that stopped the run, when one did.
  std::optional<Error> stopped;

  /// The run of build binary `binary`, when the runner started it.
  const BinaryRun* run_of(size_t binary) const;
};

/// [toolchain] test --message-format=json, the call's selection, the build
/// flags, --no-fail-fast and the settings that fix the form of cargo's lines
/// and of libtest's, then "--" and the libtest arguments.
std::vector<std::string> test_launch_argv(const TestRunBase& base,
                                          const std::vector<std::string>& libtest_args);

/// Runs cargo over the call's test binaries (`binaries`, the build's), of
/// which the runner starts those `to_start` marks; the others end at once.
/// A run stopped by a clock is a launch with `stopped` set and what was seen
/// so far; the client's cancellation and a cargo that cannot start are
/// errors.
Result<LaunchRun> run_test_launch(const TestRunBase& base, const std::vector<TestBinary>& binaries,
                                  const std::vector<bool>& to_start,
                                  const std::vector<std::string>& libtest_args,
                                  const LaunchClocks& clocks, const ProgressSink& sink);

/// Why the runner did not start `binary`, in one line: cargo ran it without
/// the runner (a target the server did not foresee), or cargo's errors
/// (else its last line).
std::string why_not_started(const LaunchRun& run, const TestBinary& binary);

/// What one binary's run says about the names it was given.
struct BinaryReport {
  /// The binary's run; null when the runner did not start it.
  const BinaryRun* run = nullptr;
  LibtestRun libtest;
  /// The expected names libtest gave no result for, in order.
  std::vector<std::string> without_result;
  /// Expected names whose thread overflowed its stack.
  std::vector<std::string> overflowed;
  /// The threads the binary ran its tests on, as far as is known.
  TestThreads threads = TestThreads::Unknown;

  /// It ended and the runner saw how.
  bool ended() const { return run && run->status; }
  /// It exited with code 0 and libtest's closing section accounted for
  /// every expected name; with none expected (a binary run whole), the exit
  /// code alone.
  bool passed() const;
  /// Expected names the binary was running when it died or exited with a
  /// code other than 0 before libtest's closing section, as far as its
  /// output names them.
  std::vector<std::string> crashed() const;

 private:
  friend BinaryReport report_binary(const LaunchRun&, size_t, const std::set<std::string>&);
  bool accounted_ = false;
};

/// Reads the run of build binary `binary` for `expected`, the names given
/// to it that it holds, on the threads it really ran.
BinaryReport report_binary(const LaunchRun& run, size_t binary,
                           const std::set<std::string>& expected);

/// The launch as a run output for its answer: cargo's JSON messages, then
/// what the binaries printed, as standard output; cargo's own lines (but
/// those for binaries the runner let end unstarted), then what the binaries
/// wrote to standard error, as standard error.
RunOutput launch_output(const LaunchRun& run);

}  // namespace tarnwick
