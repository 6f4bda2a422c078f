#pragma once
/// Runs one prepared command (in practice a test binary) to its end and hands
/// back its whole standard output, standard error and exit code.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

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
/// timeout too large for the clock means no deadline. Fails with the start
/// or wait error, `CancelledError` or `TimeoutError`; a killed child never
/// yields an output.
Result<CapturedOutput> run_command_captured(ChildCommand& command,
                                            const std::optional<std::string>& cwd,
                                            Duration timeout);

/// Runs cargo for an answer of its own making, its standard output: the
/// invocation is logged as for every cargo run, standard error goes to the
/// null device, and `timeout` and the call's cancel flag hold as in
/// `run_command_captured`. Output beyond `max_stdout_bytes` ends the run, its
/// tree killed, with an error, so a cargo that never stops writing cannot
/// fill the server's memory.
Result<CapturedOutput> run_cargo_for_output(const std::vector<std::string>& argv,
                                            const std::optional<std::string>& cwd, Duration timeout,
                                            size_t max_stdout_bytes);

/// Runs a short probe exactly as prepared (its own environment, or the
/// server's when it has none; its working directory) with both outputs
/// captured, to its end: no deadline, and the call's cancel flag is not read.
/// Fails only with the start or wait error.
Result<CapturedOutput> run_probe_captured(ChildCommand& command);

/// As `run_probe_captured`, for a probe a call needs before its own run: it
/// ends early, its tree killed, at `timeout` or the call's cancellation, with
/// `TimeoutError` or `CancelledError`.
Result<CapturedOutput> run_call_probe(ChildCommand& command, Duration timeout);

class CaptureRun;

/// A call's probe started now and finished later, so that it runs beside the
/// call's other work. One dropped unfinished is killed with its tree.
class StartedProbe {
 public:
  explicit StartedProbe(std::unique_ptr<CaptureRun> run);
  StartedProbe(StartedProbe&&) noexcept;
  StartedProbe& operator=(StartedProbe&&) noexcept;
  ~StartedProbe();

  /// As `run_call_probe` from here on; call once.
  Result<CapturedOutput> finish(Duration timeout);

 private:
  std::unique_ptr<CaptureRun> run_;
};

/// Starts `command` as `run_call_probe` runs it.
Result<StartedProbe> start_call_probe(ChildCommand command);

/// Runs the command with its standard streams on the null device, the child
/// environment (`build_child_env`) and the server's working directory, in a
/// job of its own, and returns its exit code. The call's cancel flag and
/// `limit` end it early, with the whole tree killed: a probe that hangs
/// cannot hold the server.
Result<int32_t> run_command_silently(ChildCommand command, Duration limit);

}  // namespace tarnwick
