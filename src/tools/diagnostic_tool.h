#pragma once
/// cargo_diagnostic: which cargo and rustc a run would start for a working
/// directory and why, their versions, the toolchain file that applies and
/// the environment variables that steer the choice.

#include "base/error.h"
#include "base/json_text.h"

namespace tarnwick {

/// The report as pretty JSON (two-space indentation, keys in byte order, no
/// final line feed). Everything observed is a value of the report; only a
/// failure to serialise it is an error.
Result<std::string> handle_cargo_diagnostic(const json& arguments);

/// The nearest "rust-toolchain.toml" or "rust-toolchain" (in that order)
/// that is a regular file, from `start` upwards; nothing when none is found.
std::optional<std::string> find_toolchain_file(const std::string& start);

}  // namespace tarnwick
