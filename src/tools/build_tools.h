#pragma once
/// The handlers of the tools that run cargo once and shape its output:
/// check, build, clippy, doc, tree, update and publish.

#include <optional>
#include <string>
#include <string_view>

#include "base/json_text.h"
#include "runner/run_types.h"
#include "tools/flags.h"
#include "tools/outcome.h"

namespace tarnwick {

/// The working directory and the checked output path, the first two steps
/// of every cargo-running tool.
struct CallPlaces {
  std::optional<std::string> cwd;
  std::optional<std::string> output_path;
};

/// Reads `working_dir` and `output_path`; an output path that
/// `validate_output_path` refuses fails with its message.
Result<CallPlaces> read_call_places(const json& arguments);

/// `args` with the toolchain selector, when there is one, in front.
ArgList with_selector(const std::optional<std::string>& selector, ArgList args);

/// `cargo test --no-run --message-format=json` with the call's selection,
/// toolchain selector in front. `shared_flags`, when given, receives the
/// feature, build-profile and manifest groups as they appear in it.
ArgList no_run_test_argv(const json& arguments, ArgList* shared_flags = nullptr);

/// cargo check, build or clippy; `subcommand` is "check", "build" or "clippy".
ToolOutcome run_build_tool(std::string_view subcommand, const json& arguments,
                           const ProgressSink* sink);
ToolOutcome run_cargo_doc(const json& arguments, const ProgressSink* sink);
ToolOutcome run_cargo_tree(const json& arguments);
ToolOutcome run_cargo_update(const json& arguments);
ToolOutcome run_cargo_publish(const json& arguments);

}  // namespace tarnwick
