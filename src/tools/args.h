#pragma once
/// Readers of tool arguments shared by the handlers.

#include <string_view>

#include "json_text.h"

namespace tarnwick {

/// Reads a boolean argument leniently: JSON booleans, the integers 0 and 1,
/// and the strings 1/0, true/false, yes/no, on/off in any case. Anything else
/// is false with a warning log line. Never fails.
bool parse_bool_arg(const json& arguments, std::string_view key);

}  // namespace tarnwick
