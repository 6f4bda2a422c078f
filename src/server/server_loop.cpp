#include "server/server_loop.h"

#include <fmt/format.h>

#include <exception>

#include "base/output.h"
#include "base/quoted.h"
#include "platform/stdio.h"
#include "server/line_reader.h"
#include "server/message.h"
#include "server/protocol_methods.h"

namespace tarnwick {
namespace {

constexpr int32_t kParseError = -32700;
constexpr int32_t kInternalError = -32603;

struct LoopState {
  LineChannel& channel;
  InFlightSlot& slot;
  const ServerLoopSettings& settings;
  const ToolsCallHandler& tools_call;
  bool client_supports_form_elicitation = false;
};

Outcome answer_request(LoopState& state, const Message& message) {
  if (message.method == "initialize" && message.params) {
    state.client_supports_form_elicitation = announces_form_elicitation(*message.params);
    if (state.client_supports_form_elicitation) log_info("client supports elicitation (form)");
  }
  if (message.method == "tools/call" && state.tools_call) {
    ToolCallContext context{state.channel, state.slot};
    return state.tools_call(message, state.client_supports_form_elicitation,
                            state.settings.elicitation_mode, state.settings.progress_delay_ms,
                            context);
  }
  return handle_request(message.method, message.params);
}

void handle_line(LoopState& state, std::string_view line) {
  if (is_overlong_line(line)) {
    std::string reason = fmt::format("parse error: line longer than {} bytes", kMaxLineBytes);
    write_message("null", Outcome::fail(kParseError, std::move(reason)));
    return;
  }
  // Requests with a cancelled id from here on came after the cancellation,
  // whether or not the line is a message the loop answers.
  forget_cancellation_in(line, state.slot);
  std::string_view text = trim(line);
  if (text.empty()) return;
  Result<Message> parsed = parse_message(text);
  if (!parsed) {
    write_message("null", Outcome::fail(kParseError, "parse error: " + error_text(parsed.error())));
    return;
  }
  const Message& message = *parsed;
  if (!message.id) {
    if (message.method == "notifications/exit" || message.method == "exit")
      platform::exit_process(0);
    return;  // other notifications need no answer
  }
  Outcome outcome;
  try {
    outcome = answer_request(state, message);
  } catch (const std::exception& e) {
    // Every request gets its response, even when a handler breaks down.
    outcome = Outcome::fail(kInternalError, std::string("internal error: ") + e.what());
  }
  write_message(message.id_text, outcome);
}

}  // namespace

bool announces_form_elicitation(const json& params) {
  const json* capabilities = find_member(params, "capabilities");
  const json* elicitation = capabilities ? find_member(*capabilities, "elicitation") : nullptr;
  return elicitation && find_member(*elicitation, "form");
}

void run_server_loop(LineChannel& channel, InFlightSlot& slot, const ServerLoopSettings& settings,
                     const ToolsCallHandler& tools_call) {
  LoopState state{channel, slot, settings, tools_call};
  while (std::optional<std::string> line = channel.recv()) handle_line(state, *line);
}

}  // namespace tarnwick
