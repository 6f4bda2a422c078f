#include "json_text.h"

namespace tarnwick {

std::string to_json_text(const json& value) {
  try {
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
  } catch (const std::exception&) {
    // Only reachable through allocation failure; a record stands in.
    return "{}";
  }
}

}  // namespace tarnwick
