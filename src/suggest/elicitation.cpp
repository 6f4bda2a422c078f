#include "suggest/elicitation.h"

#include <fmt/format.h>

#include <atomic>
#include <cstdint>
#include <exception>

#include "base/output.h"
#include "base/quoted.h"

namespace tarnwick {
namespace {

constexpr int32_t kBusyCode = -32000;

/// Deepest nesting read from the client during the wait, as for any message.
constexpr int kMaxAnswerDepth = 127;

/// What one message read during the wait does to the exchange.
enum class Step { KeepWaiting, Answered, Cancelled, ProcessEnded };

/// Writes a message built as a JSON value, so its keys go out sorted.
bool write_value(const json& value) { return write_line(to_json_text(value)); }

bool is_string_equal(const json* value, std::string_view text) {
  return value && value->is_string() && value->get_ref<const std::string&>() == text;
}

/// The message's method for the log, or "(response)" when it has none.
std::string method_for_log(const json& message) {
  const json* method = find_member(message, "method");
  if (method && method->is_string() && !method->get_ref<const std::string&>().empty())
    return method->get<std::string>();
  return "(response)";
}

void log_unrelated(std::string_view what) {
  notify_log(
      "info",
      fmt::format("tarnwick: received unrelated message while waiting for elicitation response: {}",
                  what));
}

/// The `id` of the message `text` as the client wrote it, so that a reply
/// echoes it digit for digit; `id` is its value, written anew should the
/// text not lead with the object (the parser also takes a byte-order mark).
std::string id_as_written(std::string_view text, const json& id) {
  std::optional<std::string_view> written = member_text(text, "id");
  return written ? compact_json_text(*written) : to_json_text(id);
}

/// Written by hand to echo the id as it came; the keys stand in the sorted
/// order of the other lines written here.
void reply_busy(std::string_view text, const json& id, std::string_view request_id) {
  json error = {{"code", kBusyCode},
                {"message", fmt::format("tarnwick: server is busy waiting for elicitation response "
                                        "to request {}; try again after the dialog is dismissed",
                                        request_id)}};
  write_line(fmt::format(R"({{"error":{},"id":{},"jsonrpc":"2.0"}})", to_json_text(error),
                         id_as_written(text, id)));
}

bool is_own_cancellation(const json& message, std::string_view request_id) {
  if (!is_string_equal(find_member(message, "method"), "notifications/cancelled")) return false;
  const json* params = find_member(message, "params");
  return params && is_string_equal(find_member(*params, "requestId"), request_id);
}

/// Acts on one message (`text`, read as `message`) that came during the
/// wait; the first rule that applies wins.
Step classify(std::string_view text, const json& message, const ElicitationLink& link,
              std::string_view request_id) {
  if (!message.is_object() || message.empty()) {
    log_unrelated("(response)");
    return Step::KeepWaiting;
  }
  if (is_string_equal(find_member(message, "id"), request_id)) return Step::Answered;
  const json* method = find_member(message, "method");
  if (is_string_equal(method, "shutdown")) {
    if (const json* id = find_member(message, "id"))
      write_line(
          fmt::format(R"({{"id":{},"jsonrpc":"2.0","result":null}})", id_as_written(text, *id)));
    link.exit_process(0);
    return Step::ProcessEnded;
  }
  if (is_string_equal(method, "exit") || is_string_equal(method, "notifications/exit")) {
    link.exit_process(0);
    return Step::ProcessEnded;
  }
  if (is_own_cancellation(message, request_id)) return Step::Cancelled;
  if (const json* id = find_member(message, "id")) reply_busy(text, *id, request_id);
  log_unrelated(method_for_log(message));
  return Step::KeepWaiting;
}

/// The outgoing notifications/cancelled for an elicitation that timed out.
void send_cancelled_notification(std::string_view request_id) {
  write_value(json{{"jsonrpc", "2.0"},
                   {"method", "notifications/cancelled"},
                   {"params", {{"reason", "elicitation timed out"}, {"requestId", request_id}}}});
}

/// The string items of `array`, in order; other items (and a value that is
/// not an array) give nothing.
std::vector<std::string> json_array_owned_strings(const json& array) {
  std::vector<std::string> out;
  if (!array.is_array()) return out;
  for (const json& item : array)
    if (item.is_string()) out.push_back(item.get<std::string>());
  return out;
}

std::optional<std::vector<std::string>> evaluate_answer(const json& answer) {
  const json* result = find_member(answer, "result");
  if (!result) {
    notify_log("warning", "tarnwick: elicitation request returned error");
    return std::nullopt;
  }
  if (!is_string_equal(find_member(*result, "action"), "accept")) return std::nullopt;
  const json* content = find_member(*result, "content");
  const json* selected = content ? find_member(*content, "selected") : nullptr;
  if (!selected) return std::vector<std::string>{};
  return json_array_owned_strings(*selected);
}

}  // namespace

std::string next_elicitation_id() {
  static std::atomic<uint64_t> counter{1};
  return fmt::format("s-{}", counter.fetch_add(1, std::memory_order_relaxed));
}

std::optional<std::vector<std::string>> send_elicitation(const ElicitationLink& link,
                                                         const json& request,
                                                         const std::string& request_id) {
  std::string line;
  try {
    line = request.dump(-1, ' ', false, json::error_handler_t::replace);
  } catch (const std::exception& e) {
    notify_log("warning", fmt::format("tarnwick: elicitation serialization error: {}", e.what()));
    return std::nullopt;
  }
  if (!write_line(line)) return std::nullopt;

  // Taken once: messages that arrive during the wait do not move it.
  const Deadline deadline = Deadline::after(link.timeout);
  std::string input;
  while (!deadline.passed() &&
         link.channel.recv_until(deadline, input) == LineChannel::Status::Line) {
    if (link.line_taken) link.line_taken(input);
    std::string_view text = trim(input);
    if (text.empty() || json_nesting_exceeds(text, kMaxAnswerDepth)) continue;
    json message = json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (message.is_discarded()) continue;
    switch (classify(text, message, link, request_id)) {
      case Step::KeepWaiting:
        continue;
      case Step::Answered:
        return evaluate_answer(message);
      case Step::Cancelled:
      case Step::ProcessEnded:
        return std::nullopt;
    }
  }
  notify_log("warning", fmt::format("tarnwick: elicitation timed out after {}s \u2014 declining "
                                    "automatically",
                                    link.timeout.secs));
  send_cancelled_notification(request_id);
  return std::nullopt;
}

void notify_log(std::string_view level, std::string_view data) {
  write_value(json{{"jsonrpc", "2.0"},
                   {"method", "notifications/message"},
                   {"params", {{"data", data}, {"level", level}, {"logger", "tarnwick"}}}});
}

}  // namespace tarnwick
