#pragma once
/// The one door through which a tools/call reaches the tool handlers: it
/// publishes the call's cancel flag, normalises and checks the arguments
/// (no undeclared ones, no NUL in a text argument), finds Cargo.toml,
/// validates `env` and runs the tool.

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "base/call_context.h"
#include "base/json_text.h"
#include "runner/run_types.h"
#include "tools/outcome.h"

namespace tarnwick {

/// Tool name to the parameter names its catalogue entry declares.
using ParamRegistry = std::unordered_map<std::string, std::unordered_set<std::string>>;

/// The registry, built from the catalogue on first use and never changed.
const ParamRegistry& tool_param_registry();

/// Runs one tool call. `sink` is null when the request carried no progress
/// token; `cancel` is the request's cancel flag. The front end's own
/// refusals come back as `ToolFailed` with a message. On return no cancel
/// token and no environment overrides are published.
ToolOutcome handle_tool_call(std::string_view name, const json& arguments, const ProgressSink* sink,
                             CancelFlag cancel);

/// The edit distance between two texts, counted in Unicode characters.
size_t edit_distance(std::string_view a, std::string_view b);

}  // namespace tarnwick
