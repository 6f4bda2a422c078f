#pragma once
/// One line of JSON read far quicker than the library's parser builds its
/// tree, for the lines of cargo's output: simdjson reads ordinary lines, and
/// the in-place view (`JsonViewReader`) long ones, which it does not copy.
/// Either reader vouches only for what the library's parser accepts and
/// reads alike; whatever they refuse is left to that parser.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/json_scan.h"

namespace tarnwick {

class JsonItems;

/// A value of the line last read by a `JsonLineReader`, valid until its next
/// read. A small handle: copy it freely.
class JsonNode {
 public:
  bool is_object() const;
  bool is_array() const;
  bool is_string() const;
  /// The member `key` (the last one, when given twice, as the library's
  /// parser keeps it); nothing when this is not an object or has no such
  /// member.
  std::optional<JsonNode> find(std::string_view key) const;
  /// A string's value, its escapes resolved; `scratch` holds it when it had
  /// to be made.
  std::string_view string_value(std::string& scratch) const;
  /// Whether a string's value holds `needle`, found without copying a long
  /// string. Quickest when the needle's last byte is rare.
  bool string_holds(std::string_view needle) const;
  /// A number that is a non-negative integer, as the library's parser reads
  /// it; nothing for anything else.
  std::optional<uint64_t> unsigned_value() const;
  /// The elements of an array, or the values of an object's members, in
  /// order; none for anything else.
  JsonItems items() const;
  /// Whether an array or object has no elements or members.
  bool empty() const;

 private:
  friend class JsonLineReader;
  friend class JsonItems;
  const JsonView* view_ = nullptr;             // read in place
  alignas(8) unsigned char element_[16] = {};  // read by simdjson, when `view_` is null
};

/// The items of one array or object, taken one at a time.
class JsonItems {
 public:
  /// The next item into `out`; false once all were taken.
  bool next(JsonNode& out);

 private:
  friend class JsonNode;
  enum class Source : uint8_t { None, View, Array, Object };
  Source source_ = Source::None;
  const JsonView* view_ = nullptr;
  size_t index_ = 0;
  alignas(8) unsigned char at_[16] = {};  // simdjson's iterators
  alignas(8) unsigned char end_[16] = {};
};

class JsonLineReader {
 public:
  JsonLineReader();
  ~JsonLineReader();
  JsonLineReader(JsonLineReader&&) noexcept;
  JsonLineReader& operator=(JsonLineReader&&) noexcept;

  /// The value of `line` when the readers vouch for all of it (one JSON
  /// value, valid UTF-8, no nesting deeper than 127 levels); nothing
  /// otherwise. Valid until the next read. `readable_after` counts the
  /// bytes after the line that may be read (and are left as they are): with
  /// enough of them the line is not copied first.
  std::optional<JsonNode> read(std::string_view line, size_t readable_after = 0);

 private:
  struct Parser;
  std::unique_ptr<Parser> parser_;
  JsonViewReader views_;
};

}  // namespace tarnwick
