#include "tools/plain_run.h"

#include <utility>

#include "runner/invoke.h"
#include "runner/records.h"

namespace tarnwick {

RunResult run_quietly(const ArgList& argv, const std::optional<std::string>& cwd,
                      BusyRetry busy_retry) {
  RunRequest request;
  request.argv = argv;
  request.cwd = cwd;
  request.busy_retry = busy_retry;
  return run_cargo_with_retry(request);
}

ToolOutcome plain_outcome(const ArgList& argv, const std::optional<std::string>& cwd,
                          BusyRetry busy_retry) {
  RunResult run = run_quietly(argv, cwd, busy_retry);
  if (!run) return ToolFailed{std::move(run).error()};
  return ToolText{plain_run_result(*run, argv, cwd), run->exit_code != 0};
}

}  // namespace tarnwick
