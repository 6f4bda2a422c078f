#pragma once
/// The handlers of the tools that run cargo once and shape its output:
/// check, build, clippy, doc, tree, update and publish.

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "base/duration.h"
#include "base/json_text.h"
#include "platform/write_file.h"
#include "runner/run_types.h"
#include "test_select/test_launch.h"
#include "tools/args.h"
#include "tools/flags.h"
#include "tools/outcome.h"

namespace tarnwick {

/// The working directory and the checked output path, the first two steps
/// of every cargo-running tool.
struct CallPlaces {
  std::optional<std::string> cwd;
  std::optional<std::string> output_path;
  /// The working directory as opened when the call began, which the output
  /// file is written beneath; borrowed from the call's front end, never null.
  const platform::WorkingDir* working_dir = nullptr;
};

/// A call's own clock: when it began and its `timeout_secs`. Whatever the
/// call runs before its cargo run (counting packages) spends this time.
struct CallClock {
  std::chrono::steady_clock::time_point start;
  OptionalTimeout timeout;

  static CallClock start_now(OptionalTimeout timeout);
  /// The start plus the timeout; never without a timeout.
  Deadline deadline() const;
};

/// Reads `working_dir` and `output_path`; an output path that
/// `validate_output_path` refuses beneath `working_dir` (the call's working
/// directory as opened when it began) fails with its message.
Result<CallPlaces> read_call_places(const json& arguments, const platform::WorkingDir& working_dir);

/// `args` with the toolchain selector, when there is one, in front.
ArgList with_selector(const std::optional<std::string>& selector, ArgList args);

/// The call's test selection, read once.
struct TestSelection {
  /// `cargo test --no-run --message-format=json` with the call's selection,
  /// toolchain selector in front.
  ArgList build_argv;
  /// What the cargo runs of that build's test binaries share with it: the
  /// toolchain, the package selection and the feature, profile, manifest and
  /// lock flags, and the working directory.
  TestRunBase run_base;
  /// The call selects no targets by kind or name, so that `cargo test` runs
  /// the doctests of its libraries too.
  bool default_targets = true;
};
TestSelection read_test_selection(const json& arguments, const std::optional<std::string>& cwd);

/// cargo check, build or clippy; `subcommand` is "check", "build" or "clippy".
/// The output file goes beneath `working_dir`.
ToolOutcome run_build_tool(std::string_view subcommand, const json& arguments,
                           const ProgressSink* sink, const platform::WorkingDir& working_dir);
ToolOutcome run_cargo_doc(const json& arguments, const ProgressSink* sink,
                          const platform::WorkingDir& working_dir);
ToolOutcome run_cargo_tree(const json& arguments);
ToolOutcome run_cargo_update(const json& arguments);
ToolOutcome run_cargo_publish(const json& arguments);

}  // namespace tarnwick
