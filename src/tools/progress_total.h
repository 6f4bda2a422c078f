#pragma once
/// The number of packages in a call's dependency graph, told once to the
/// progress display so it can show how far a build has come.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "json_text.h"
#include "run_types.h"

namespace tarnwick {

/// The package count of `cargo metadata` output: the length of
/// /resolve/nodes, else of "packages"; nothing when the text is not one JSON
/// document or the count does not fit 32 bits.
std::optional<uint32_t> progress_total_from_metadata(std::string_view stdout_text);

/// Without `sink`, does nothing. Otherwise counts the packages (once per
/// working directory, toolchain selector, `manifest_path` and the `locked`,
/// `frozen` and `offline` switches of `arguments`, for the whole process) and
/// writes {"reason":"x-tarnwick-progress-total","total_units":N} into the
/// sink. The counting run carries the same manifest and lock flags as the
/// call, so it never rewrites Cargo.lock or goes online against them. Never
/// fails; a failed count writes nothing.
void compute_progress_total(const ProgressSink* sink, const std::optional<std::string>& cwd,
                            const std::optional<std::string>& selector, const json& arguments);

}  // namespace tarnwick
