#pragma once
/// The handlers of the tools that run cargo once and shape its output:
/// check, build, clippy, doc, tree, update and publish.

#include <string_view>

#include "base/json_text.h"
#include "runner/run_types.h"
#include "tools/outcome.h"

namespace tarnwick {

/// cargo check, build or clippy; `subcommand` is "check", "build" or "clippy".
ToolOutcome run_build_tool(std::string_view subcommand, const json& arguments,
                           const ProgressSink* sink);
ToolOutcome run_cargo_doc(const json& arguments, const ProgressSink* sink);
ToolOutcome run_cargo_tree(const json& arguments);
ToolOutcome run_cargo_update(const json& arguments);
ToolOutcome run_cargo_publish(const json& arguments);

}  // namespace tarnwick
