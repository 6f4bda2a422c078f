#pragma once
/// The shared pieces of every result text (invocation record, status lines,
/// the x-tarnwick-stderr record) and the builders that turn one run's output
/// into that text.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "runner/run_types.h"
#include "suggest/suggest.h"

namespace tarnwick {

/// The success status line, {"status":"success"}.
inline constexpr std::string_view kSuccessStatusLine = "{\"status\":\"success\"}";

/// {"status":"error","exit_code":N}, `status` first.
std::string error_status_line(int32_t exit_code);

/// The success line for exit code 0, else the error line.
std::string status_line(int32_t exit_code);

/// {"argv":[...],"cwd":...,"reason":"x-tarnwick-invocation"} and one "\n";
/// "cwd" is "." when the call has no working directory.
std::string invocation_record(const std::vector<std::string>& argv,
                              const std::optional<std::string>& cwd);

/// {"reason":"x-tarnwick-stderr","text":...} for already filtered standard
/// error, or nothing when that text is empty.
std::optional<std::string> stderr_record(std::string_view filtered_stderr);

/// Result text for cargo check, build, clippy and doc.
std::string build_diagnostics_result(const RunOutput& output, const std::vector<std::string>& argv,
                                     const std::optional<std::string>& cwd);

/// What a build tool answers with: the text of `build_diagnostics_result`
/// and, when asked for, the suggestions `collect_suggestions` reads.
struct DiagnosticsAnswer {
  std::string text;
  std::vector<Suggestion> suggestions;
};

/// Both read in one pass over the lines, and the text made in the room of
/// the standard output, which is taken over.
DiagnosticsAnswer build_diagnostics_answer(RunOutput output, const std::vector<std::string>& argv,
                                           const std::optional<std::string>& cwd,
                                           bool with_suggestions);

/// Result text for test runs.
std::string build_run_result(const RunOutput& output, const std::vector<std::string>& argv,
                             const std::optional<std::string>& cwd);

/// Result text for cargo nextest run: its output through the nextest line
/// filter, the status line, then the standard-error record.
std::string build_nextest_run_result(const RunOutput& output, const std::vector<std::string>& argv,
                                     const std::optional<std::string>& cwd);

/// Result text for cargo nextest list: the list re-serialised with sorted
/// keys (as one document when all of it is one, else line by line with plain
/// lines wrapped), the status line, then standard error trimmed.
std::string nextest_list_result(const RunOutput& output, const std::vector<std::string>& argv,
                                const std::optional<std::string>& cwd);

/// Result text for commands without JSON output.
std::string plain_run_result(const RunOutput& output, const std::vector<std::string>& argv,
                             const std::optional<std::string>& cwd);

/// `plain_run_result`, with ANSI control sequences removed from the whole
/// text when `strip_ansi` is true (the formatter can colour its output).
std::string plain_run_result(const RunOutput& output, const std::vector<std::string>& argv,
                             const std::optional<std::string>& cwd, bool strip_ansi);

/// `text` without ESC "[" ... final-byte sequences; other ESCs stay.
std::string strip_ansi_sequences(std::string_view text);

}  // namespace tarnwick
