#pragma once
/// One cargo run without deadline or progress, and its plain answer: the
/// shared steps of the tools whose subcommand has no JSON output.

#include <optional>
#include <string>

#include "runner/run_types.h"
#include "tools/flags.h"
#include "tools/outcome.h"

namespace tarnwick {

/// Runs `argv` once through the retrying runner: no deadline, not phased,
/// output lines go nowhere but into the result.
RunResult run_quietly(const ArgList& argv, const std::optional<std::string>& cwd,
                      BusyRetry busy_retry = BusyRetry::BySubcommand);

/// `run_quietly`, answered with the plain result text; the error flag is set
/// for a non-zero exit code, and a runner error fails the call.
ToolOutcome plain_outcome(const ArgList& argv, const std::optional<std::string>& cwd,
                          BusyRetry busy_retry = BusyRetry::BySubcommand);

}  // namespace tarnwick
