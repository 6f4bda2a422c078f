#pragma once
/// Directory listing and removal that never follow symbolic links, for the
/// clean-up of stale build state inside a target directory.

#include <string>
#include <vector>

#include "base/error.h"

namespace tarnwick::platform {

enum class EntryKind { File, Directory, Symlink, Other };

struct DirEntry {
  std::string name;
  EntryKind kind;  // of the entry itself, a link is never followed
};

/// The entries of the directory `path` (without "." and ".."), each with its
/// own kind. A link as the last component of `path` is followed only when
/// `follow_link` is true; otherwise listing a link fails. Entries whose kind
/// cannot be read are left out.
Result<std::vector<DirEntry>> list_directory(const std::string& path, bool follow_link);

/// Removes `path` and everything below it. Links met on the way are removed
/// themselves, never followed; a link at `path` is removed as a link.
Status remove_tree(const std::string& path);

}  // namespace tarnwick::platform
