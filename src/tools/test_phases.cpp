#include "tools/test_phases.h"

#include <fmt/format.h>

#include "runner/invoke.h"

namespace tarnwick {

std::string phase_marker_line(std::string_view phase) {
  return fmt::format("{{\"reason\":\"x-tarnwick-phase\",\"phase\":\"{}\"}}", phase);
}

RunResult run_phase(const ArgList& argv, const std::optional<std::string>& cwd,
                    OptionalTimeout deadline, bool phased, const ProgressSink* sink,
                    std::string_view phase,
                    std::optional<std::chrono::steady_clock::time_point> clock_start) {
  if (sink) (*sink)(phase_marker_line(phase));
  RunRequest request;
  request.argv = argv;
  request.cwd = cwd;
  request.timeout = deadline;
  request.phased = phased;
  request.sink = sink ? sink : &null_sink();
  request.clock_start = clock_start;
  RunResult run = run_cargo_with_retry(request);
  if (!run && is_error_kind<TimeoutError>(run.error()))
    return PhaseTimeoutError{std::get<TimeoutError>(run.error()).elapsed, std::string(phase)};
  return run;
}

}  // namespace tarnwick
