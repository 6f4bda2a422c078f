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

}  // namespace tarnwick
