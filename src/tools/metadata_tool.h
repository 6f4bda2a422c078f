#pragma once
/// cargo_metadata: cargo's workspace JSON as the answer, or written straight
/// into a file under the working directory.

#include "base/json_text.h"
#include "platform/write_file.h"
#include "tools/outcome.h"

namespace tarnwick {

/// Answers cargo's JSON unchanged; with `output_file` answers one sentence
/// naming the file and its size, the file written beneath `working_dir`. A
/// failing cargo fails the call.
ToolOutcome handle_cargo_metadata(const json& arguments, const platform::WorkingDir& working_dir);

}  // namespace tarnwick
