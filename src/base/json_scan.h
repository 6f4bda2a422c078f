#pragma once
/// A quick look at one line of JSON, far cheaper than building its tree: it
/// checks that the line is one JSON value and finds the top-level "reason"
/// member. Whatever it cannot tell for sure it leaves to the full parser.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick {

/// The position of the first byte at or after `pos` that is not JSON white
/// space (space, tab, line feed, carriage return).
size_t skip_json_space(std::string_view text, size_t pos);

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

/// A JSON value read in place: strings and numbers stay views into the text
/// they came from, which must outlive the view.
struct JsonView {
  enum class Kind : uint8_t { Null, Bool, Number, String, Array, Object };
  Kind kind = Kind::Null;
  /// A string's content or a number as written.
  std::string_view raw;
  /// Whether a string's content holds escapes.
  bool escaped = false;
  /// The elements of an array, or the values of an object's members.
  std::vector<JsonView> items;
  /// The keys of an object's members, beside their values in `items`.
  std::vector<std::string_view> keys;

  bool is_object() const { return kind == Kind::Object; }
  bool is_array() const { return kind == Kind::Array; }
  bool is_string() const { return kind == Kind::String; }
  /// The member `key` (the last one, when given twice); null when this is
  /// not an object or has no such member.
  const JsonView* find(std::string_view key) const;
  /// A string's value with its escapes resolved.
  std::string string_value() const;
  /// A number that is a non-negative integer, as the full parser reads it;
  /// nothing for anything else.
  std::optional<uint64_t> unsigned_value() const;
};

/// The value of `text` read in place, when the quick look can vouch for all
/// of it (see `quick_json_facts`, and no key with escapes); nothing otherwise.
std::optional<JsonView> view_json(std::string_view text, int max_depth);

}  // namespace tarnwick
