#pragma once
/// Answers of the protocol's own methods: initialize, ping, shutdown,
/// tools/list, prompts/list and prompts/get.

#include <optional>
#include <string_view>

#include "base/json_text.h"
#include "base/output.h"

namespace tarnwick {

/// Answers every method but tools/call; unknown methods get -32601
/// "method not found: <method>". Holds no state and writes nothing.
Outcome handle_request(std::string_view method, const std::optional<json>& params);

}  // namespace tarnwick
