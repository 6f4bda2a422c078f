#pragma once
/// A quick look at one line of JSON, far cheaper than building its tree: it
/// checks that the line is one JSON value and finds the top-level "reason"
/// member. Whatever it cannot tell for sure it leaves to the full parser.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
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

class JsonScanner;

/// A JSON value read in place: strings and numbers stay views into the text
/// they came from, which must outlive the view. The nodes of one value sit in
/// one block, each container's members side by side.
struct JsonView {
  enum class Kind : uint8_t { Null, Bool, Number, String, Array, Object };
  Kind kind = Kind::Null;
  /// Whether a string's content holds escapes, and whether any is a \\u one.
  bool escaped = false;
  bool unicode_escaped = false;
  /// A string's content or a number as written.
  std::string_view raw;
  /// The member's key, for a value inside an object.
  std::string_view key;
  /// The elements of an array, or the values of an object's members.
  std::span<const JsonView> items;

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

 private:
  friend class JsonViewReader;
  friend std::optional<JsonView> view_json(std::string_view text, int max_depth);
  // Where `items` starts in the reader's block and how many, while reading.
  uint32_t first_ = 0;
  uint32_t count_ = 0;
  /// The block of nodes, for a value handed out by `view_json`.
  std::shared_ptr<const std::vector<JsonView>> owned_;
};

/// Reads lines in place one after the other, reusing its room: once it has
/// grown to the lines' size, reading allocates nothing.
class JsonViewReader {
 public:
  /// The value of `text` when the quick look can vouch for all of it (see
  /// `quick_json_facts`, and no key with escapes); null otherwise. Valid
  /// until the next `read`.
  const JsonView* read(std::string_view text, int max_depth);

 private:
  friend std::optional<JsonView> view_json(std::string_view text, int max_depth);
  bool read_value(JsonScanner& scan, JsonView& out, int depth_left);

  std::vector<JsonView> nodes_;    // finished containers' members
  std::vector<JsonView> pending_;  // members of the containers being read
  JsonView root_;
};

/// The value of `text` read in place, as `JsonViewReader::read`, holding its
/// own nodes.
std::optional<JsonView> view_json(std::string_view text, int max_depth);

}  // namespace tarnwick
