#pragma once
/// The shared pieces of every result text (invocation record, status lines,
/// the x-tarnwick-stderr record) and the builders that turn one run's output
/// into that text.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "runner/output_filters.h"
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

/// One reading of a build tool's output lines, for both the filter and the
/// suggestions. Fed by a run's `OutputWatcher` it is made while cargo still
/// writes.
class DiagnosticsReading {
 public:
  explicit DiagnosticsReading(bool with_suggestions) : with_suggestions_(with_suggestions) {}
  /// The line that starts at `offset` of the output; one at 0 starts the
  /// reading again. `readable_after` as for `LineSorter::sort`.
  void take_line(std::string_view line, size_t offset, size_t readable_after = 0);
  /// Whether the lines taken are all of `stdout_text`, each followed by its
  /// `line_end_for`.
  bool covers(std::string_view stdout_text) const { return seen_ == stdout_text.size(); }
  bool with_suggestions() const { return with_suggestions_; }
  /// Offset and size of each kept line, in order.
  const std::vector<std::pair<size_t, size_t>>& kept() const { return kept_; }
  std::vector<Suggestion> take_suggestions() { return std::move(suggestions_); }

 private:
  bool with_suggestions_;
  LineSorter sorter_;
  std::vector<std::pair<size_t, size_t>> kept_;  // offset and size of each kept line
  std::vector<Suggestion> suggestions_;
  size_t seen_ = 0;
};

/// Both from one reading of the lines (`reading`, made again when it does
/// not cover the output), and the text made in the room of the standard
/// output, which is taken over.
DiagnosticsAnswer build_diagnostics_answer(RunOutput output, const std::vector<std::string>& argv,
                                           const std::optional<std::string>& cwd,
                                           DiagnosticsReading reading);

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
