#pragma once
/// cargo_setup: the guidance text for the assistant's instruction files,
/// with the nextest section that fits the workspace and, when the runner is
/// missing, the commands that install it.

#include <string>

#include "base/duration.h"
#include "base/error.h"
#include "base/json_text.h"
#include "tools/nextest_args.h"

namespace tarnwick {

/// The whole answer. Only a string `working_dir` is read; without one no
/// probe runs and the runner counts as installed. The probe runs for at most
/// `probe_limit`; fails only when the client cancels the call during it.
Result<std::string> handle_cargo_setup(const json& arguments,
                                       Duration probe_limit = kNextestProbeLimit);

}  // namespace tarnwick
