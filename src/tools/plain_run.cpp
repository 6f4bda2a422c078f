#include "tools/plain_run.h"

#include <utility>

#include "runner/invoke.h"
#include "runner/records.h"

namespace tarnwick {

RunResult run_quietly(const ArgList& argv, const std::optional<std::string>& cwd) {
  RunRequest request;
  request.argv = argv;
  request.cwd = cwd;
  return run_cargo_with_retry(request);
}

ToolOutcome plain_outcome(const ArgList& argv, const std::optional<std::string>& cwd) {
  RunResult run = run_quietly(argv, cwd);
  if (!run) return ToolFailed{std::move(run).error()};
  return ToolText{plain_run_result(*run, argv, cwd), run->exit_code != 0};
}

}  // namespace tarnwick
