#pragma once
/// Line filters over cargo's output: what is kept as it stood, what is wrapped
/// into a record and what is dropped, plus the standard-error noise filter and
/// the merge of build-phase diagnostics into test output.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/json_line.h"
#include "base/json_text.h"
#include "base/text_lines.h"
#include "runner/run_types.h"

namespace tarnwick {

/// The line parsed as one complete JSON value, or nothing when it is not
/// JSON. Invalid UTF-8 is replaced before parsing, and values nested deeper
/// than 127 levels do not count as JSON (they could exhaust the stack later).
std::optional<json> parse_json_line(std::string_view line);

/// The `reason` member when `value` is an object whose `reason` is a string.
std::optional<std::string> line_reason(const json& value);

/// True for a compiler-message about the incremental-session directory that
/// rustc could not finalize.
bool is_incremental_session_noise(const json& value);

/// How the filters that keep cargo's diagnostics see one line. A noise
/// message counts as `Artifact` (dropped) unless the notes are shown.
enum class LineKind { Blank, NotJson, NoReason, Kept, Artifact, Other };

/// Sorts the lines of one output for those filters, reading each line once;
/// what it read stays for the caller until the next line.
class LineSorter {
 public:
  /// `readable_after` as for `JsonLineReader::read`.
  LineKind sort(std::string_view line, size_t readable_after = 0);
  /// The value of the last line, or null when the quick readers could not
  /// read it (or it was blank).
  const JsonNode* value() const { return value_ ? &*value_ : nullptr; }

 private:
  JsonLineReader reader_;
  std::optional<JsonNode> value_;
};

/// The build-finished and compiler-message lines of `text`, unchanged.
std::vector<std::string_view> filter_build_message_lines(std::string_view text);
/// The same lines joined by "\n" (no final "\n").
std::string collect_build_message_lines(std::string_view text);

/// Test-run output: cargo's diagnostics kept, plain text wrapped as
/// x-tarnwick-test-output records, other JSON dropped.
std::vector<std::string> filter_run_output_lines(std::string_view text);

/// nextest run output: cargo's diagnostics kept, build artifacts dropped,
/// everything else wrapped as x-tarnwick-nextest-output records.
std::vector<std::string> filter_nextest_run_lines(std::string_view text);

/// nextest list output: JSON re-serialised with sorted keys, plain text
/// wrapped as x-tarnwick-nextest-output records.
std::vector<std::string> nextest_lines_to_json(std::string_view text);

/// Standard error without the incremental-session noise lines (unless the
/// show_incremental_notes setting is on), trimmed.
std::string strip_incremental_noise_lines(std::string_view stderr_text);

/// The build phase's compiler messages and standard error in front of the
/// test phase's output; the exit code is the test phase's.
RunOutput merge_build_diagnostics(const RunOutput& build, const RunOutput& test);

}  // namespace tarnwick
