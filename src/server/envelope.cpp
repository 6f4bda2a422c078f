#include "server/envelope.h"

#include <fmt/format.h>

#include <memory>

#include "base/quoted.h"
#include "platform/stdio.h"
#include "server/call_log.h"
#include "server/line_reader.h"
#include "server/progress.h"
#include "suggest/review_dialog.h"

namespace tarnwick {
namespace {

json text_item(std::string text) {
  json item = json::object();
  item["text"] = std::move(text);
  item["type"] = "text";
  return item;
}

json one_text(std::string text) { return json::array({text_item(std::move(text))}); }

/// Keeps the request in flight and the reporter open exactly while the tool
/// runs, even if the tool should throw.
class RunningCall {
 public:
  RunningCall(InFlightSlot& slot, std::shared_ptr<ProgressReporter> reporter)
      : slot_(slot), reporter_(std::move(reporter)) {}
  RunningCall(const RunningCall&) = delete;
  RunningCall& operator=(const RunningCall&) = delete;
  ~RunningCall() { finish(); }

  void finish() {
    if (finished_) return;
    finished_ = true;
    slot_.clear();
    // A sink copied by the tool must not report after the response.
    if (reporter_) reporter_->close();
  }

 private:
  InFlightSlot& slot_;
  std::shared_ptr<ProgressReporter> reporter_;
  bool finished_ = false;
};

/// The progress token as the client wrote it in `params_text`, so that it
/// is echoed digit for digit; `token` is its value, written anew when the
/// text is not at hand.
std::string token_as_written(std::string_view params_text, const json& token) {
  std::optional<std::string_view> meta = member_text(params_text, "_meta");
  std::optional<std::string_view> written =
      meta ? member_text(*meta, "progressToken") : std::nullopt;
  return written ? compact_json_text(*written) : to_json_text(token);
}

std::string fix_header(size_t n) {
  return fmt::format("--- Auto-applicable ({} fix{}, safe to apply) ---\n", n, n == 1 ? "" : "es");
}

std::string review_header(size_t m) {
  return fmt::format("--- Needs review ({} suggestion{}) ---\n", m, m == 1 ? "" : "s");
}

json suggestions_result(const ToolBackend& backend, ToolTextWithSuggestions outcome,
                        bool client_supports_form_elicitation, ElicitationMode mode,
                        ToolCallContext& context) {
  std::vector<Suggestion> fixes, review;
  for (Suggestion& s : outcome.suggestions)
    (s.applicability == Applicability::MachineApplicable ? fixes : review).push_back(std::move(s));

  // Without a review dialog, prompt mode lists the review suggestions plainly
  // rather than dropping them unasked.
  bool can_resolve = mode == ElicitationMode::AlwaysAccept ||
                     (mode == ElicitationMode::Prompt && backend.elicit_suggestions);
  bool dialog_way = client_supports_form_elicitation && can_resolve && !review.empty();
  if (!dialog_way) {
    // Appended piece by piece: the output text can be long, the lists too.
    std::string text = std::move(outcome.text);
    if (!fixes.empty())
      text.append("\n\n")
          .append(fix_header(fixes.size()))
          .append(backend.format_suggestion_list(fixes));
    if (!review.empty())
      text.append("\n")
          .append(review_header(review.size()))
          .append(backend.format_suggestion_list(review));
    return tool_result(one_text(std::move(text)), outcome.is_error);
  }

  std::string auto_part;
  if (!fixes.empty()) auto_part = fix_header(fixes.size()) + backend.format_selection(fixes);

  std::optional<std::vector<uint64_t>> chosen;
  if (mode == ElicitationMode::AlwaysAccept) {
    chosen.emplace();
    for (const Suggestion& s : review) chosen->push_back(s.id);
  } else {
    chosen = backend.elicit_suggestions(context, review);
  }

  json content = json::array();
  if (chosen && !chosen->empty()) {
    std::vector<Suggestion> selected = backend.filter_records_by_id(review, *chosen);
    content.push_back(text_item(auto_part + backend.format_selection(selected)));
  } else if (!auto_part.empty()) {
    content.push_back(text_item(std::move(auto_part)));
  }
  content.push_back(text_item(std::move(outcome.text)));
  return tool_result(std::move(content), outcome.is_error);
}

}  // namespace

ElicitSuggestions client_review_dialog() {
  return [](ToolCallContext& context, const std::vector<Suggestion>& review) {
    InFlightSlot& slot = context.slot;
    return elicit_suggestions(
        ElicitationLink{context.channel, kElicitationTimeout,
                        [](int code) { platform::exit_process(code); },
                        [&slot](std::string_view line) { forget_cancellation_in(line, slot); }},
        review);
  };
}

json tool_result(json content, bool is_error) {
  json result = json::object();
  result["content"] = std::move(content);
  if (is_error) result["isError"] = true;
  return result;
}

Outcome run_tools_call(const ToolBackend& backend, const Message& request,
                       bool client_supports_form_elicitation, ElicitationMode elicitation_mode,
                       uint64_t progress_delay_ms, ToolCallContext& context) {
  const std::optional<json>& params = request.params;
  if (!params || params->is_null()) return Outcome::fail(-32602, "tools/call requires params");

  std::string name;
  json arguments = json::object();
  std::optional<std::string> progress_token;
  if (params->is_object()) {
    if (auto it = params->find("name"); it != params->end() && it->is_string())
      name = it->get<std::string>();
    if (auto it = params->find("arguments"); it != params->end()) arguments = *it;
    if (auto meta = params->find("_meta"); meta != params->end() && meta->is_object()) {
      if (auto token = meta->find("progressToken"); token != meta->end())
        progress_token = token_as_written(request.params_text, *token);
    }
  }

  log_info(fmt::format("tools/call received: id={} name={} arguments={}", request.id_text,
                       tarnwick::quoted(name), arguments_for_log(arguments)));

  CancelFlag cancel = make_cancel_flag();
  std::shared_ptr<ProgressReporter> reporter;
  std::optional<ProgressSink> sink;
  if (progress_token) {
    reporter = std::make_shared<ProgressReporter>(name, arguments, std::move(*progress_token),
                                                  progress_delay_ms,
                                                  write_notification_without_waiting, cancel);
    sink = [reporter](std::string_view line) { reporter->report_cargo_progress(line); };
  }

  // A call cancelled while it waited in line does not run at all.
  ToolOutcome outcome = ToolFailed{CancelledError{}};
  if (context.slot.begin(*request.id, cancel)) {
    RunningCall running(context.slot, reporter);
    outcome = backend.handle_tool_call(name, std::move(arguments), sink ? &*sink : nullptr,
                                       std::move(cancel));
  }

  if (auto* failed = std::get_if<ToolFailed>(&outcome)) {
    if (is_error_kind<CancelledError>(failed->error))
      return Outcome::ok(tool_result(one_text("Operation cancelled by client request."), true));
    std::string message = error_text(failed->error);
    log_warning(fmt::format("tool '{}' failed: {}", name, message));
    return Outcome::ok(tool_result(one_text("error: " + message), true));
  }
  if (auto* text = std::get_if<ToolText>(&outcome))
    return Outcome::ok(tool_result(one_text(std::move(text->text)), text->is_error));
  return Outcome::ok(
      suggestions_result(backend, std::move(std::get<ToolTextWithSuggestions>(outcome)),
                         client_supports_form_elicitation, elicitation_mode, context));
}

ToolsCallHandler make_tools_call_handler(ToolBackend backend) {
  return
      [backend = std::move(backend)](const Message& request, bool client_supports_form_elicitation,
                                     ElicitationMode elicitation_mode, uint64_t progress_delay_ms,
                                     ToolCallContext& context) {
        return run_tools_call(backend, request, client_supports_form_elicitation, elicitation_mode,
                              progress_delay_ms, context);
      };
}

}  // namespace tarnwick
