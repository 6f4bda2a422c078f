#pragma once
/// cargo_setup: the guidance text for the assistant's instruction files,
/// with the nextest section that fits the workspace and, when the runner is
/// missing, the commands that install it.

#include <string>

#include "base/json_text.h"

namespace tarnwick {

/// The whole answer. Only a string `working_dir` is read; without one no
/// probe runs and the runner counts as installed. Never fails.
std::string handle_cargo_setup(const json& arguments);

}  // namespace tarnwick
