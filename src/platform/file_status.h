#pragma once
/// What a path names, links followed, as the system's own file checks see it,
/// and the path that names it without links.

#include <optional>
#include <string>

namespace tarnwick::platform {

enum class FileKind { Missing, File, Directory, Other };

/// The kind of what `path` names; Missing also when it cannot be examined.
FileKind file_kind(const std::string& path);

/// The absolute path of what `path` names, every link and "." or ".."
/// resolved, as a program started there sees its working directory; nothing
/// when it does not exist or cannot be examined.
std::optional<std::string> real_path(const std::string& path);

/// Whether `path` names a file the server may execute.
bool is_executable(const std::string& path);

}  // namespace tarnwick::platform
