#pragma once
/// Compiler suggestions read from cargo's JSON diagnostics.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/json_line.h"

namespace tarnwick {

enum class Applicability : uint8_t {
  MachineApplicable = 0,
  MaybeIncorrect = 1,
  HasPlaceholders = 2
};

/// One edit of a suggestion.
struct SuggestionSpan {
  std::string file_name;
  uint64_t line_start = 0, line_end = 0, column_start = 0, column_end = 0;
  std::string replacement;  // empty: the span's text is removed
};

struct Suggestion {
  uint64_t id = 0;  // 1-based within one tool call
  std::optional<std::string> code;
  std::string message;
  std::string diagnostic_message;
  // The primary edit (the first of `spans`).
  std::string file_name;
  uint64_t line_start = 0, line_end = 0, column_start = 0, column_end = 0;
  std::string replacement;
  Applicability applicability = Applicability::MachineApplicable;
  std::vector<SuggestionSpan> spans;  // never empty
};

/// Every suggestion in cargo's standard output, numbered 1..n. Never fails.
std::vector<Suggestion> collect_suggestions(std::string_view stdout_text);

/// Appends the suggestions of one output line to `out`, numbered on from
/// the suggestions already there. `value` is the whole line as a
/// `JsonLineReader` read it, null when it could not or was not asked to.
void collect_line_suggestions(std::string_view line, const JsonNode* value,
                              std::vector<Suggestion>& out);

/// "[code] message [maybe-incorrect] (file:line:col)".
std::string suggestion_title(const Suggestion& s);

/// "file:line — message (may be incorrect)" for the review dialogs.
std::string suggestion_choice_label(const Suggestion& s);

/// Numbered entries with their replacement lines, for the result sections.
std::string format_suggestion_list(const std::vector<Suggestion>& suggestions);

}  // namespace tarnwick
