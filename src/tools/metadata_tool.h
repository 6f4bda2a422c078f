#pragma once
/// cargo_metadata: cargo's workspace JSON as the answer, or written straight
/// into a file under the working directory.

#include "base/json_text.h"
#include "tools/outcome.h"

namespace tarnwick {

/// Answers cargo's JSON unchanged; with `output_file` answers one sentence
/// naming the file and its size. A failing cargo fails the call.
ToolOutcome handle_cargo_metadata(const json& arguments);

}  // namespace tarnwick
