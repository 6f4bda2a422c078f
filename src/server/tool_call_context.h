#pragma once
/// What the server loop hands the tools/call handler besides the settings.

#include <cstdint>
#include <functional>

#include "base/json_text.h"
#include "base/line_channel.h"
#include "base/output.h"
#include "base/settings.h"
#include "server/in_flight.h"
#include "server/message.h"

namespace tarnwick {

struct ToolCallContext {
  LineChannel& channel;  // read by the elicitation dialog during a call
  InFlightSlot& slot;
};

/// Answers one tools/call request, which has an id. Its params are empty
/// when absent or null.
using ToolsCallHandler = std::function<Outcome(
    const Message& request, bool client_supports_form_elicitation, ElicitationMode elicitation_mode,
    uint64_t progress_delay_ms, ToolCallContext& context)>;

}  // namespace tarnwick
