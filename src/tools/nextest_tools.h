#pragma once
/// The handlers of cargo_nextest_run and cargo_nextest_list, which drive
/// cargo-nextest as the cargo subcommand `nextest`.

#include "base/json_text.h"
#include "platform/write_file.h"
#include "runner/run_types.h"
#include "tools/nextest_args.h"
#include "tools/outcome.h"

namespace tarnwick {

/// Probes for cargo-nextest (for at most `probe_limit`, and within the build
/// budget, which runs from the call's start), then bisects when
/// `bisect` is given, else runs a build phase (with --no-run) and a
/// test-execution phase whose clock starts at build-finished. `sink` is null
/// without a progress token; the output file goes beneath `working_dir`.
ToolOutcome run_cargo_nextest_run(const json& arguments, const ProgressSink* sink,
                                  const platform::WorkingDir& working_dir,
                                  Duration probe_limit = kNextestProbeLimit);

/// Probes for cargo-nextest, then runs `cargo nextest list` once, without a
/// deadline or progress, and answers with the list as JSON records.
ToolOutcome run_cargo_nextest_list(const json& arguments,
                                   Duration probe_limit = kNextestProbeLimit);

}  // namespace tarnwick
