#pragma once
/// Writing a run's full result text to a file and answering with a condensed
/// text that points to it.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "base/error.h"

namespace tarnwick {

/// The path the output file is written to: `output_path` joined onto the
/// working directory when there is one.
std::string output_file_path(std::string_view output_path, const std::optional<std::string>& cwd);

/// Without `output_path`, `result_text` unchanged. With it, writes the text
/// to the file and returns the invocation record, an x-tarnwick-output-file
/// record and the lines that tell the outcome. `test_markers` lets libtest
/// and nextest marker lines through. Fails with the file system's error, or
/// when the path would lead outside the working directory.
Result<std::string> write_output_file_summary(std::string result_text,
                                              const std::optional<std::string>& output_path,
                                              const std::optional<std::string>& cwd,
                                              bool test_markers);

}  // namespace tarnwick
