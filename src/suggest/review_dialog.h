#pragma once
/// The review dialogs: the user ticks, in the client's form, the compiler
/// suggestions that need review and should be applied. Up to four suggestions
/// are offered as one flat list; five or more are grouped by lint code, and
/// the user may switch once to grouping by file.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "suggest/elicitation.h"
#include "suggest/suggest.h"

namespace tarnwick {

/// Suggestions that share a lint code (or a file) in the grouped dialog.
struct SuggestionGroup {
  /// The lint code ("_id:N" for a suggestion without one, so it stands
  /// alone), or the file name as the compiler gave it.
  std::string key;
  /// The key, or the first member's label for an "_id:" key.
  std::string display;
  std::vector<Suggestion> members;  // in review-list order
};

/// Groups in order of size, largest first; equal sizes keep the order in
/// which their first members stand in `review`.
std::vector<SuggestionGroup> group_by_lint(const std::vector<Suggestion>& review);
std::vector<SuggestionGroup> group_by_path(const std::vector<Suggestion>& review);

/// Asks the user which of `review` (not empty) to apply. Nothing when there
/// was no usable answer (declined, cancelled, timed out, input closed, or the
/// grouped view switched twice); an empty list for "skip all" or when nothing
/// ticked names a suggestion; otherwise the chosen ids.
std::optional<std::vector<uint64_t>> elicit_suggestions(const ElicitationLink& link,
                                                        const std::vector<Suggestion>& review);

}  // namespace tarnwick
