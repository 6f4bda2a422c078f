#pragma once
/// Runs test binaries the way `cargo test` runs them, by letting cargo start
/// them: the call's own package, feature, profile and manifest flags (so
/// cargo runs the very binaries the call's build made), a target selector per
/// binary and the libtest arguments after "--". Runners, cargo's `[env]`,
/// build-script values and library paths are then cargo's own. cargo's
/// standard error joins its standard output, so each binary's output is
/// told apart by cargo's "Running" lines, and the clocks start when a
/// binary starts, not when cargo does.

#include <optional>
#include <set>
#include <string>
#include <vector>

#include "base/duration.h"
#include "base/error.h"
#include "runner/libtest_output.h"
#include "runner/run_types.h"
#include "test_select/cargo_test_stream.h"
#include "test_select/enumerate.h"

namespace tarnwick {

/// What every cargo run of one call's test binaries shares.
struct TestRunBase {
  /// "+toolchain", when the call names one.
  std::optional<std::string> toolchain;
  /// The call's package selection, as its build used it.
  std::vector<std::string> packages;
  /// The call's feature, profile, manifest and lock flags.
  std::vector<std::string> build_flags;
  std::optional<std::string> cwd;
};

/// The clocks of one launch.
struct LaunchClocks {
  /// From each binary's start: the longest it may run, or, with `silence`,
  /// the longest it may go without a libtest progress line.
  std::optional<Duration> per_binary;
  bool silence = false;
  /// The call's execution budget, counted from the first start of a binary
  /// in any launch of the call; `first_start` (when given) holds that
  /// instant across launches.
  std::optional<Duration> overall;
  std::optional<StreamInstant>* first_start = nullptr;
};

/// One launch as it ended.
struct LaunchRun {
  std::vector<std::string> argv;  // cargo's arguments, toolchain first
  CargoTestStream stream;
  /// cargo's exit code; -1 when the run was stopped.
  int32_t exit_code = -1;
  /// The timeout that stopped the run, when one did.
  std::optional<Error> stopped;
};

/// [toolchain] test --message-format=json, the packages, the selectors, the
/// build flags, --no-fail-fast and the settings that fix the form of cargo's
/// lines as they are read here, then "--" and the libtest arguments.
std::vector<std::string> test_launch_argv(const TestRunBase& base,
                                          const std::vector<std::string>& selectors,
                                          const std::vector<std::string>& libtest_args);

/// The distinct cargo selectors of `binaries`, in order, each as separate
/// arguments ("--test", "it").
std::vector<std::string> selectors_of(const std::vector<const TestBinary*>& binaries);

/// The binaries as the stream knows them.
std::vector<KnownBinary> known_binaries(const std::vector<TestBinary>& binaries);

/// Runs cargo for the binaries the selectors pick, `known` being every test
/// binary of the call's build, whose output has the given format. A run
/// stopped by a clock is a launch with `stopped` set and the stream read so
/// far; the client's cancellation and a cargo that cannot start are errors.
Result<LaunchRun> run_test_launch(const TestRunBase& base, std::vector<KnownBinary> known,
                                  const std::vector<std::string>& selectors,
                                  const std::vector<std::string>& libtest_args,
                                  const LaunchClocks& clocks, const ProgressSink& sink,
                                  StreamFormat format);

/// Why cargo did not start a known binary, in one line: the compiler's and
/// cargo's error messages (else cargo's last line), and the binaries the
/// build did not list that it ran.
std::string why_not_started(const LaunchRun& run);

/// What one binary's part of a launch says about the names it was given.
struct BinaryReport {
  /// The binary's part; null when cargo did not start it.
  const BinaryPart* part = nullptr;
  LibtestRun libtest;
  /// The expected names libtest gave no result for, in order.
  std::vector<std::string> without_result;

  bool ended() const { return part && part->ended; }
  /// It ended with exit code 0 and libtest's closing section accounted for
  /// every expected name; with none expected (a binary run whole), the exit
  /// code alone.
  bool passed() const;
  /// Expected names the binary was running when it crashed, as far as
  /// libtest's output names them.
  std::vector<std::string> crashed() const;

 private:
  friend BinaryReport report_binary(const LaunchRun&, size_t, const std::set<std::string>&,
                                    TestThreads);
  bool accounted_ = false;
};

/// Reads the part of the known binary `binary` (its first) for `expected`,
/// the names given to it that it holds, run on `threads`.
BinaryReport report_binary(const LaunchRun& run, size_t binary,
                           const std::set<std::string>& expected, TestThreads threads);

/// The launch as a run output for its answer: cargo's JSON messages, then
/// what the binaries printed, as standard output; cargo's own lines as
/// standard error.
RunOutput launch_output(const LaunchRun& run);

}  // namespace tarnwick
