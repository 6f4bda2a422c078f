#pragma once
/// cargo_fmt and cargo_fmt_check: one workspace-wide pass, and when that
/// pass fails on the system's command-line limit, one pass per member.

#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "base/json_text.h"
#include "tools/outcome.h"

namespace tarnwick {

/// Runs `cargo fmt` (`check` false) or `cargo fmt --check` for the call.
ToolOutcome fmt_with_per_crate_fallback(const json& arguments, bool check);

/// Whether the text reports a command line longer than the system allows.
bool is_command_line_too_long(std::string_view text);

/// The `name` of every package object of `packages` (cargo metadata's array)
/// whose `id` is in `ids`, in array order; objects without a string `id` or
/// `name` are skipped.
std::vector<std::string> package_names_for_ids(const json& packages,
                                               const std::set<std::string>& ids);

}  // namespace tarnwick
