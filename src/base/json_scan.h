#pragma once
/// A quick look at one line of JSON, far cheaper than building its tree: it
/// checks that the line is one JSON value and finds the top-level "reason"
/// member. Whatever it cannot tell for sure it leaves to the full parser.

#include <optional>
#include <string_view>

namespace tarnwick {

/// What the quick look found in a line it could judge.
struct JsonLineFacts {
  bool is_object = false;
  /// The value of the top-level "reason" member when that is a string; as
  /// written, which is also its value, since it holds no escapes.
  std::optional<std::string_view> reason;
};

/// The facts of `text` when it is certainly one JSON value that the full
/// parser accepts, with the same top-level "reason". Nothing when that is not
/// certain: not JSON, invalid UTF-8, nesting deeper than `max_depth`, a
/// surrogate escape, a number with an exponent or many digits, a top-level
/// key or reason with escapes, or "reason" given twice. The full parser
/// decides those.
std::optional<JsonLineFacts> quick_json_facts(std::string_view text, int max_depth);

}  // namespace tarnwick
