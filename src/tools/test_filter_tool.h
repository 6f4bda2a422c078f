#pragma once
/// cargo_test with `test_filter`: the call's checks, in their fixed order,
/// and the plan handed to the test-selection run.

#include "base/json_text.h"
#include "platform/write_file.h"
#include "runner/run_types.h"
#include "tools/outcome.h"

namespace tarnwick {

/// Checks the call, builds the tests once, runs those whose names the
/// pattern matches, and answers with the build text, the discovery record,
/// the launch texts, the summary record and a status line (or, with
/// `output_path`, the condensed text that points to the written file).
ToolOutcome run_test_filter(const json& arguments, const ProgressSink* sink,
                            const platform::WorkingDir& working_dir);

}  // namespace tarnwick
