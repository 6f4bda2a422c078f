#pragma once
/// The tools that change the workspace or its build state with one plain
/// cargo run each: clean, add, remove and fix.

#include "base/json_text.h"
#include "tools/outcome.h"

namespace tarnwick {

ToolOutcome run_cargo_clean(const json& arguments);
/// Fails before anything runs when `dependency` is not a string.
ToolOutcome handle_cargo_add(const json& arguments);
/// Fails before anything runs when `dependency` is not a string.
ToolOutcome handle_cargo_remove(const json& arguments);
/// With `clippy` the fixes come from `cargo clippy --fix`.
ToolOutcome handle_cargo_fix(const json& arguments);

}  // namespace tarnwick
