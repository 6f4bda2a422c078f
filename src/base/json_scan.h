#pragma once
/// One line of JSON read in place, far cheaper than building the library's
/// tree and without copying the line. Whatever it cannot tell for sure it
/// leaves to the full parser.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick {

/// The position of the first byte at or after `pos` that is not JSON white
/// space (space, tab, line feed, carriage return).
size_t skip_json_space(std::string_view text, size_t pos);

class JsonScanner;

/// A JSON value read in place: strings and numbers stay views into the text
/// they came from, which must outlive the view. The nodes of one value sit in
/// one block, each container's members side by side.
struct JsonView {
  enum class Kind : uint8_t { Null, Bool, Number, String, Array, Object };
  Kind kind = Kind::Null;
  /// Whether a string's content holds escapes, and whether any is a \u one.
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
  /// Whether a string's value holds `needle`, found without making the
  /// whole value. Quickest when the needle's last byte is rare.
  bool string_holds(std::string_view needle) const;
  /// A number that is a non-negative integer, as the full parser reads it;
  /// nothing for anything else.
  std::optional<uint64_t> unsigned_value() const;

 private:
  friend class JsonViewReader;
  // Where `items` starts in the reader's block and how many, while reading.
  uint32_t first_ = 0;
  uint32_t count_ = 0;
};

/// Reads lines in place one after the other, reusing its room: once it has
/// grown to the lines' size, reading allocates nothing.
class JsonViewReader {
 public:
  /// The value of `text` when it is certainly one JSON value that the
  /// library's parser accepts and reads alike; null when that is not
  /// certain: not JSON, invalid UTF-8, nesting deeper than `max_depth`, a
  /// surrogate escape, a number with an exponent or many digits, or a key
  /// with escapes. Valid until the next `read`.
  const JsonView* read(std::string_view text, int max_depth);

 private:
  bool read_value(JsonScanner& scan, JsonView& out, int depth_left);

  std::vector<JsonView> nodes_;    // finished containers' members
  std::vector<JsonView> pending_;  // members of the containers being read
  JsonView root_;
};

}  // namespace tarnwick
