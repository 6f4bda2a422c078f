#pragma once
/// The tools/call envelope: reads the request, registers it as the one in
/// flight, runs the tool and turns its outcome into the MCP result object,
/// with the compiler-suggestion sections and the user's choices.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/json_text.h"
#include "base/line_channel.h"
#include "base/output.h"
#include "base/settings.h"
#include "runner/run_types.h"
#include "server/in_flight.h"
#include "server/tool_call_context.h"
#include "suggest/suggest.h"
#include "tools/outcome.h"

namespace tarnwick {

/// Asks the user which of `review` (not empty) to apply, over the call's
/// line channel; none when the dialog gave no usable answer.
using ElicitSuggestions = std::function<std::optional<std::vector<uint64_t>>(
    ToolCallContext& context, const std::vector<Suggestion>& review)>;

/// What the envelope needs of the tool handlers and of the suggestion
/// subsystem. Every member must be set, except `elicit_suggestions`: without
/// it no review dialog is held and prompt mode lists suggestions plainly.
struct ToolBackend {
  /// Runs one tool. `sink` is null when the request carried no progress
  /// token; it is valid only until the call returns. `cancel` is the call's
  /// cancel flag, set by the input reader when the client cancels.
  std::function<ToolOutcome(std::string_view name, json arguments, const ProgressSink* sink,
                            CancelFlag cancel)>
      handle_tool_call;
  ElicitSuggestions elicit_suggestions;
  /// Copies of the suggestions whose id is in `ids`, in the order of `suggestions`.
  std::function<std::vector<Suggestion>(const std::vector<Suggestion>& suggestions,
                                        const std::vector<uint64_t>& ids)>
      filter_records_by_id;
  /// Lists suggestions as chosen ones.
  std::function<std::string(const std::vector<Suggestion>&)> format_selection;
  /// Numbered entries for the plain result sections.
  std::function<std::string(const std::vector<Suggestion>&)> format_suggestion_list;
};

/// The review dialog held with the client over the call's line channel,
/// waiting 30 s for each answer; shutdown or exit meanwhile end the process.
/// The cancellations it reads are forgotten by the slot as the loop forgets
/// those it reads.
ElicitSuggestions client_review_dialog();

/// {"content": content}, plus "isError": true when `is_error`.
json tool_result(json content, bool is_error);

/// Answers one tools/call request, which has an id.
Outcome run_tools_call(const ToolBackend& backend, const Message& request,
                       bool client_supports_form_elicitation, ElicitationMode elicitation_mode,
                       uint64_t progress_delay_ms, ToolCallContext& context);

/// The server loop's tools/call handler, running calls through `backend`.
ToolsCallHandler make_tools_call_handler(ToolBackend backend);

}  // namespace tarnwick
