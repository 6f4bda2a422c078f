#pragma once
/// The chosen suggestions, written as instructions the assistant can carry
/// out.

#include <cstdint>
#include <string>
#include <vector>

#include "suggest/suggest.h"

namespace tarnwick {

/// Copies of the suggestions whose id is in `ids`, in the order of
/// `suggestions`; each at most once.
std::vector<Suggestion> select_by_ids(const std::vector<Suggestion>& suggestions,
                                      const std::vector<uint64_t>& ids);

/// Title, location and replacement of each suggestion; "No suggestions
/// selected." for an empty list.
std::string format_selection(const std::vector<Suggestion>& suggestions);

}  // namespace tarnwick
