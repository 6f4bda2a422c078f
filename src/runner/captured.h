#pragma once
/// Runs one prepared command (in practice a test binary) to its end and hands
/// back its whole standard output, standard error and exit code.

#include <cstdint>
#include <optional>
#include <string>

#include "base/duration.h"
#include "base/error.h"
#include "runner/child.h"
#include "runner/toolchain.h"

namespace tarnwick {

struct CapturedOutput {
  std::string stdout_text;  // invalid UTF-8 replaced by U+FFFD
  std::string stderr_text;  // likewise
  uint32_t exit_code = 0;
};

/// Overwrites the command's streams (null input, piped output), its
/// environment (`build_child_env`) and, when `cwd` is given, its working
/// directory, then runs it under `timeout` and the call's cancel token. A
/// timeout too large for the clock means no deadline. `extra_env` is set
/// over the environment last, as a runner such as cargo sets its own
/// variables. Fails with the start or wait error, `CancelledError` or
/// `TimeoutError`; a killed child never yields an output.
Result<CapturedOutput> run_command_captured(ChildCommand& command,
                                            const std::optional<std::string>& cwd, Duration timeout,
                                            const ChildEnv& extra_env = {});

/// Runs the command with all three standard streams on the null device, the
/// child environment (`build_child_env`), the server's working directory and
/// no job, and waits for its end without limit and without watching the
/// cancel flag. Returns its exit code, or the error when it cannot start.
Result<int32_t> run_command_silently(ChildCommand command);

}  // namespace tarnwick
