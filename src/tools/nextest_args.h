#pragma once
/// What the two cargo-nextest tools share: the installation probe and the
/// answer when the runner is missing, the record of nextest-specific
/// arguments, and the translation of the cargo_test-style selectors
/// `test_filter` and `test_name` into nextest selections.

#include <optional>
#include <string>
#include <string_view>

#include "base/duration.h"
#include "base/error.h"
#include "base/json_text.h"

namespace tarnwick {

/// The nextest-specific arguments of one call. Texts are kept when the
/// argument is a JSON string (an empty one included); the three counts when
/// it is a JSON integer that fits a signed 64-bit integer, as decimal text.
struct NextestArgs {
  std::optional<std::string> cargo_profile;
  std::optional<std::string> nextest_profile;
  std::optional<std::string> build_jobs;
  std::optional<std::string> test_threads;
  std::optional<std::string> retries;
  std::optional<std::string> filter_expr;
  std::optional<std::string> filter;
  std::optional<std::string> run_ignored;
  std::optional<std::string> list_type;
};

/// Reads the nine values; another JSON type leaves a field absent. Never fails.
NextestArgs read_nextest_args(const json& arguments);

/// Turns `test_filter` into the expression "test(/pattern/)" in
/// `filter_expr`, and "all" in `run_ignored` when it asks for ignored tests.
/// Fails on a malformed object, a pattern with "/", an invalid regex, or a
/// selection the record already holds.
Status parse_test_filter_arg(NextestArgs& nextest, const json& arguments);

/// Turns `test_name` into the positional `filter`, or with `exact` into the
/// expression "test(=name)" in `filter_expr`. Fails when the record already
/// holds a selection of the same kind.
Status translate_test_name(NextestArgs& nextest, const json& arguments);

/// Reads the record and translates both selectors, in that order; the first
/// error ends it.
Result<NextestArgs> read_nextest_selection(const json& arguments);

/// What `cargo nextest --version` tells about the runner.
enum class NextestProbe {
  Installed,
  /// The probe could not start, or exited non-zero.
  Missing,
  /// The probe was still running at its limit and was stopped: a plugin that
  /// hangs, which is not one that is missing.
  Hung,
  /// The client cancelled the call while the probe ran.
  Cancelled,
  /// The call's own deadline came before the probe ended; it was stopped.
  OutOfTime,
};

/// How long the probe may take: generous for a cold toolchain, yet a hung
/// plugin cannot hold the server.
inline constexpr Duration kNextestProbeLimit{120, 0};

/// Runs `cargo nextest --version` with the child environment (the call's
/// `env` overrides included) until whichever comes first: `limit`, the
/// call's `deadline`, or the call's cancel flag.
NextestProbe probe_nextest(Duration limit = kNextestProbeLimit,
                           Deadline deadline = Deadline::never());

/// The two fenced install commands, from the opening fence of the first to
/// the line feed after the closing fence of the second.
std::string_view nextest_install_blocks();

/// The whole answer of a nextest tool when the runner is missing.
std::string nextest_not_installed_message();

/// The whole answer of a nextest tool when the probe hung for `limit`.
std::string nextest_hung_message(Duration limit);

}  // namespace tarnwick
