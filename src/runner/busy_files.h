#pragma once
/// Busy files in cargo's output: which files a failed run could not use
/// because another process held them, and the report of their holders.

#include <string>
#include <string_view>
#include <vector>

namespace tarnwick {

struct PathHolders;

/// One file path found in a busy diagnostic, as the output wrote it.
using BusyPath = std::string;

/// True when `text` contains one of the texts that mark a diagnostic as a
/// busy-file failure: the Windows sharing and access failures, and the
/// system's own "file busy" failure.
bool contains_busy_marker(std::string_view text);

/// The file paths named by the busy diagnostics of one output stream, in
/// order of first occurrence, without duplicates. Never fails.
std::vector<BusyPath> extract_busy_paths(std::string_view text);

/// A key under which two spellings of the same path compare equal: either
/// separator, repeated separators, "." components, a trailing separator and
/// the case of a drive letter make no difference.
std::string busy_path_key(std::string_view path);

/// Appends, after an empty line, the report of which processes hold each
/// busy file to `target` (the failed run's standard error).
void format_busy_report(std::string& target, const std::vector<PathHolders>& list);

}  // namespace tarnwick
