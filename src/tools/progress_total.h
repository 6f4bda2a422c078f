#pragma once
/// The number of packages in a call's dependency graph, told once to the
/// progress display so it can show how far a build has come.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/duration.h"
#include "runner/run_types.h"
#include "tools/flags.h"

namespace tarnwick {

/// The package count of `cargo metadata` output: the length of
/// /resolve/nodes, else of "packages"; nothing when the text is not one JSON
/// document or the count does not fit 32 bits.
std::optional<uint32_t> progress_total_from_metadata(std::string_view stdout_text);

/// Without `sink`, does nothing. Otherwise counts the packages (once per
/// working directory, toolchain selector, manifest path and lock switches,
/// for the whole process) and writes
/// {"reason":"x-tarnwick-progress-total","total_units":N} into the sink. The
/// counting run carries the call's own manifest and lock flags, so it never
/// rewrites Cargo.lock or goes online where the call would not. It runs
/// under the call's `deadline` and cancel flag, with its output bounded.
/// Never fails; a failed count writes nothing, and a count cut short by the
/// deadline or a cancellation is not remembered, so the call's own run then
/// answers for the deadline or the cancellation.
void compute_progress_total(const ProgressSink* sink, const std::optional<std::string>& cwd,
                            const std::optional<std::string>& selector,
                            const std::optional<std::string>& manifest_path,
                            const LockSwitches& locks, const Deadline& deadline);

}  // namespace tarnwick
