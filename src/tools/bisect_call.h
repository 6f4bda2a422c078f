#pragma once
/// The bisection branch of cargo_test and cargo_nextest_run: the call's
/// arguments read into a bisection request, the checks that refuse what a
/// bisection cannot honour, and the answer of the engine.

#include <optional>

#include "base/json_text.h"
#include "platform/write_file.h"
#include "runner/run_types.h"
#include "tools/outcome.h"

namespace tarnwick {

/// Whether the call asks for a bisection: a `bisect` member that is not null.
bool bisect_requested(const json& arguments);

/// Runs the bisection the arguments ask for: nothing when they hold no
/// `bisect` member, a `ToolFailed` for a bad `bisect` object, `output_path`
/// or a failure of the engine, otherwise the engine's text. `sink` is null
/// when the request carried no progress token.
std::optional<ToolOutcome> run_bisect(const json& arguments, const ProgressSink* sink,
                                      const platform::WorkingDir& working_dir);

/// The whole bisect arm of a test tool: with `check_doc` (cargo_test) a
/// `doc` switch is refused first; then a given `test_timeout_secs` is
/// refused; then `run_bisect`.
ToolOutcome run_bisect_call(const json& arguments, const ProgressSink* sink, bool check_doc,
                            const platform::WorkingDir& working_dir);

}  // namespace tarnwick
