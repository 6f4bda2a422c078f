#pragma once
/// The server loop: one input line at a time, parsed, answered and written,
/// on the main thread.

#include <cstdint>

#include "base/json_text.h"
#include "base/line_channel.h"
#include "base/settings.h"
#include "server/in_flight.h"
#include "server/tool_call_context.h"

namespace tarnwick {

/// The settings the loop hands to every tools/call.
struct ServerLoopSettings {
  ElicitationMode elicitation_mode = ElicitationMode::AlwaysSkip;
  uint64_t progress_delay_ms = 0;
};

/// True when initialize params hold capabilities.elicitation.form, whatever
/// its value.
bool announces_form_elicitation(const json& params);

/// Answers the lines of `channel` until it is closed and drained, then
/// returns. The exit notifications end the process with code 0 from inside.
/// tools/call goes to `tools_call`; while it is empty, tools/call is an
/// unknown method.
void run_server_loop(LineChannel& channel, InFlightSlot& slot, const ServerLoopSettings& settings,
                     const ToolsCallHandler& tools_call);

}  // namespace tarnwick
