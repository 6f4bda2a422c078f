#pragma once
/// Text-only helpers: paths taken apart and put together without touching
/// the file system, and ASCII lower-casing for comparing names.

#include <optional>
#include <string>
#include <string_view>

#include "base/error.h"

namespace tarnwick {

/// The path without its last component (a name, "." or ".."), taken from the
/// text alone; nothing for an empty path or one that is only a root.
std::optional<std::string> lexical_parent(std::string_view path);

/// `name` appended to `dir` with one separator; `name` alone when `dir` is empty.
std::string join_path(std::string_view dir, std::string_view name);

/// Refuses an output path that could leave the working directory: one that
/// starts at the root, or that has a ".." component. `argument` names the
/// path's argument in the message ("output_path").
Status check_output_path_stays_inside(std::string_view argument, std::string_view output_path);

/// `text` with A to Z turned to lower case; every other byte unchanged.
std::string ascii_lower(std::string_view text);

}  // namespace tarnwick
