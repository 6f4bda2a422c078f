#pragma once
/// One named phase of a test run: the phase marker for the progress display,
/// the run itself, and a deadline hit reported under the phase's name.

#include <chrono>
#include <optional>
#include <string_view>

#include "runner/run_types.h"
#include "tools/args.h"
#include "tools/flags.h"

namespace tarnwick {

inline constexpr std::string_view kBuildPhase = "build";
inline constexpr std::string_view kTestExecutionPhase = "test execution";
inline constexpr std::string_view kDocTestPhase = "doc test";

/// {"reason":"x-tarnwick-phase","phase":"<phase>"}, byte for byte.
std::string phase_marker_line(std::string_view phase);

/// Runs `argv` through the retrying runner as the phase `phase`. With a sink
/// the phase marker goes into it first and the run's lines follow; without
/// one nothing is reported. `phased` starts the deadline at cargo's
/// build-finished line; otherwise the deadline runs from `clock_start` when
/// given (the call's own start), else from the run's. A deadline hit comes
/// back as a `PhaseTimeoutError` naming the phase; every other failure is
/// returned unchanged.
RunResult run_phase(const ArgList& argv, const std::optional<std::string>& cwd,
                    OptionalTimeout deadline, bool phased, const ProgressSink* sink,
                    std::string_view phase,
                    std::optional<std::chrono::steady_clock::time_point> clock_start = {});

}  // namespace tarnwick
