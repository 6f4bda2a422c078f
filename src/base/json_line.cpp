#include "base/json_line.h"

#include <simdjson.h>

#include <cstring>
#include <type_traits>

#include "base/text_lines.h"

namespace tarnwick {
namespace {

using simdjson::dom::element;
using simdjson::dom::element_type;

/// Deeper nesting is refused, as cargo's own JSON readers do.
constexpr size_t kMaxDepth = 127;

/// Longer lines are read in place: simdjson would copy them twice over.
constexpr size_t kLongLine = size_t{1} << 20;

// The handles keep simdjson's small values as bytes, so that its header
// stays out of every other source.
template <typename T>
void put(unsigned char (&bytes)[16], const T& value) {
  static_assert(std::is_trivially_copyable_v<T> && sizeof(T) <= sizeof bytes);
  std::memcpy(bytes, static_cast<const void*>(&value), sizeof value);
}

template <typename T>
T taken(const unsigned char (&bytes)[16]) {
  static_assert(std::is_trivially_copyable_v<T> && sizeof(T) <= sizeof bytes);
  T value;
  std::memcpy(static_cast<void*>(&value), bytes, sizeof value);
  return value;
}

element element_of(const unsigned char (&bytes)[16]) { return taken<element>(bytes); }

}  // namespace

struct JsonLineReader::Parser {
  simdjson::dom::parser dom;
  bool ready = false;
};

JsonLineReader::JsonLineReader() : parser_(std::make_unique<Parser>()) {}

JsonLineReader::~JsonLineReader() = default;
JsonLineReader::JsonLineReader(JsonLineReader&&) noexcept = default;
JsonLineReader& JsonLineReader::operator=(JsonLineReader&&) noexcept = default;

std::optional<JsonNode> JsonLineReader::read(std::string_view line, size_t readable_after) {
  JsonNode node;
  if (line.size() > kLongLine) {
    node.view_ = views_.read(line, static_cast<int>(kMaxDepth));
    if (!node.view_) return std::nullopt;
    return node;
  }
  Parser& parser = *parser_;
  if (!parser.ready) {
    // The capacity grows with the lines; the depth limit stays.
    if (parser.dom.allocate(size_t{1} << 16, kMaxDepth) != simdjson::SUCCESS) return std::nullopt;
    parser.ready = true;
  }
  element root;
  // simdjson reads up to its padding past the end, whatever lies there.
  bool copy = readable_after < simdjson::SIMDJSON_PADDING;
  if (parser.dom.parse(line.data(), line.size(), copy).get(root) != simdjson::SUCCESS)
    return std::nullopt;
  put(node.element_, root);
  return node;
}

bool JsonNode::is_object() const {
  return view_ ? view_->is_object() : element_of(element_).type() == element_type::OBJECT;
}

bool JsonNode::is_array() const {
  return view_ ? view_->is_array() : element_of(element_).type() == element_type::ARRAY;
}

bool JsonNode::is_string() const {
  return view_ ? view_->is_string() : element_of(element_).type() == element_type::STRING;
}

std::optional<JsonNode> JsonNode::find(std::string_view key) const {
  JsonNode found;
  if (view_) {
    found.view_ = view_->find(key);
    if (!found.view_) return std::nullopt;
    return found;
  }
  simdjson::dom::object object;
  if (element_of(element_).get_object().get(object) != simdjson::SUCCESS) return std::nullopt;
  bool any = false;
  for (simdjson::dom::key_value_pair member : object) {
    if (member.key != key) continue;
    put(found.element_, member.value);
    any = true;
  }
  if (!any) return std::nullopt;
  return found;
}

std::string_view JsonNode::string_value(std::string& scratch) const {
  if (view_) {
    if (!view_->escaped) return view_->raw;
    scratch = view_->string_value();
    return scratch;
  }
  std::string_view value;
  if (element_of(element_).get_string().get(value) != simdjson::SUCCESS) return {};
  return value;
}

bool JsonNode::string_holds(std::string_view needle) const {
  if (view_) return view_->string_holds(needle);
  std::string scratch;
  return has_substring_rare_last(string_value(scratch), needle);
}

std::optional<uint64_t> JsonNode::unsigned_value() const {
  if (view_) return view_->unsigned_value();
  uint64_t value = 0;
  if (element_of(element_).get_uint64().get(value) != simdjson::SUCCESS) return std::nullopt;
  return value;
}

JsonItems JsonNode::items() const {
  JsonItems items;
  if (view_) {
    if (view_->is_array() || view_->is_object()) {
      items.source_ = JsonItems::Source::View;
      items.view_ = view_;
    }
    return items;
  }
  element e = element_of(element_);
  simdjson::dom::array array;
  simdjson::dom::object object;
  if (e.get_array().get(array) == simdjson::SUCCESS) {
    items.source_ = JsonItems::Source::Array;
    put(items.at_, array.begin());
    put(items.end_, array.end());
  } else if (e.get_object().get(object) == simdjson::SUCCESS) {
    items.source_ = JsonItems::Source::Object;
    put(items.at_, object.begin());
    put(items.end_, object.end());
  }
  return items;
}

bool JsonItems::next(JsonNode& out) {
  out = JsonNode();
  switch (source_) {
    case Source::None:
      return false;
    case Source::View:
      if (index_ == view_->items.size()) return false;
      out.view_ = &view_->items[index_++];
      return true;
    case Source::Array: {
      auto at = taken<simdjson::dom::array::iterator>(at_);
      if (at == taken<simdjson::dom::array::iterator>(end_)) return false;
      put(out.element_, *at);
      put(at_, ++at);
      return true;
    }
    case Source::Object: {
      auto at = taken<simdjson::dom::object::iterator>(at_);
      if (at == taken<simdjson::dom::object::iterator>(end_)) return false;
      put(out.element_, (*at).value);
      put(at_, ++at);
      return true;
    }
  }
  return false;
}

bool JsonNode::empty() const {
  if (view_) return view_->items.empty();
  element e = element_of(element_);
  simdjson::dom::array array;
  simdjson::dom::object object;
  if (e.get_array().get(array) == simdjson::SUCCESS) return array.begin() == array.end();
  if (e.get_object().get(object) == simdjson::SUCCESS) return object.begin() == object.end();
  return true;
}

}  // namespace tarnwick
