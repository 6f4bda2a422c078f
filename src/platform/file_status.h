#pragma once
/// What a path names, links followed, as the system's own file checks see it.

#include <string>

namespace tarnwick::platform {

enum class FileKind { Missing, File, Directory, Other };

/// The kind of what `path` names; Missing also when it cannot be examined.
FileKind file_kind(const std::string& path);

}  // namespace tarnwick::platform
