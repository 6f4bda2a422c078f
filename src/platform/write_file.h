#pragma once
/// Writing a whole file and reading its size back.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/error.h"

namespace tarnwick::platform {

/// Creates or truncates the file at `path` and writes all of `bytes` to it.
/// A failure is an IoError "<system text> (os error N)".
Status write_whole_file(const std::string& path, std::string_view bytes);

/// The file's size as the file system reports it, or nothing when it cannot
/// be read.
std::optional<uint64_t> file_size(const std::string& path);

}  // namespace tarnwick::platform
