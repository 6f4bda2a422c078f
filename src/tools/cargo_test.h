#pragma once
/// cargo_test: the routing of a call to bisection, test selection or the
/// plain run, and the plain run in its timed phases.

#include "base/json_text.h"
#include "platform/write_file.h"
#include "runner/run_types.h"
#include "tools/outcome.h"

namespace tarnwick {

/// Picks the handler of a cargo_test call: bisection when `bisect` is given
/// (not null), test selection when `test_filter` is, else the plain run.
/// Each writes its output file beneath `working_dir`.
ToolOutcome route_cargo_test(const json& arguments, const ProgressSink* sink,
                             const platform::WorkingDir& working_dir);

/// The plain cargo_test: a build phase with --no-run under the build budget,
/// then the tests under the execution budget counted from cargo's
/// build-finished line; or, with `doc`, one doc-test phase.
ToolOutcome handle_cargo_test(const json& arguments, const ProgressSink* sink,
                              const platform::WorkingDir& working_dir);

}  // namespace tarnwick
