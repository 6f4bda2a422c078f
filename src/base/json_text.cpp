#include "base/json_text.h"

namespace tarnwick {

std::string to_json_text(const json& value) {
  try {
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
  } catch (const std::exception&) {
    // Only reachable through allocation failure; a record stands in.
    return "{}";
  }
}

const json* find_member(const json& value, std::string_view key) {
  if (!value.is_object()) return nullptr;
  auto it = value.find(key);
  return it == value.end() ? nullptr : &*it;
}

bool json_nesting_exceeds(std::string_view text, int max_depth) {
  int depth = 0;
  bool in_string = false;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (in_string) {
      if (c == '\\')
        ++i;
      else if (c == '"')
        in_string = false;
      continue;
    }
    if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > max_depth) return true;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return false;
}

}  // namespace tarnwick
