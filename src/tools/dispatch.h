#pragma once
/// The switch from a tool name to its handler, and the steps every
/// cargo-running handler shares.

#include <optional>
#include <string>
#include <string_view>

#include "base/json_text.h"
#include "platform/write_file.h"
#include "runner/run_types.h"
#include "tools/outcome.h"

namespace tarnwick {

/// Runs the tool `name` (matched byte for byte) on arguments that the front
/// end has already normalised and checked. `sink` is null when the request
/// carried no progress token; `working_dir` is the call's working directory
/// as opened when the call began, beneath which every file the tool writes
/// for the client goes. Every failure is a `ToolFailed`.
ToolOutcome dispatch_tool(std::string_view name, const json& arguments, const ProgressSink* sink,
                          const platform::WorkingDir& working_dir);

/// The optional first cargo argument, "+" and the toolchain name, from the
/// `toolchain` argument: trimmed, one leading "+" dropped, nothing when empty.
std::optional<std::string> toolchain_selector(const json& arguments);

}  // namespace tarnwick
