#include "server/line_reader.h"

#include "base/quoted.h"
#include "platform/stdio.h"
#include "platform/thread.h"
#include "server/message.h"

namespace tarnwick {

namespace {

/// A cancellation whose name is written with escapes is not one here.
bool names_cancellation(std::string_view line) {
  return line.find("notifications/cancelled") != std::string_view::npos;
}

}  // namespace

std::optional<json> cancelled_request_id(std::string_view line) {
  // Only lines that mention the method are parsed.
  if (!names_cancellation(line)) return std::nullopt;
  Result<json> value = parse_json_value(trim(line));
  if (!value) return std::nullopt;
  const json* method = find_member(*value, "method");
  if (!method || !method->is_string() || *method != "notifications/cancelled") return std::nullopt;
  const json* params = find_member(*value, "params");
  const json* request_id = params ? find_member(*params, "requestId") : nullptr;
  if (!request_id) return std::nullopt;
  return *request_id;
}

void forget_cancellation_in(std::string_view line, InFlightSlot& slot) {
  if (std::optional<json> request_id = cancelled_request_id(line))
    slot.forget_cancellation(*request_id);
}

bool consume_cancellation(std::string_view line, InFlightSlot& slot) {
  std::optional<json> request_id = cancelled_request_id(line);
  return request_id && slot.cancel(*request_id);
}

void read_input_lines(const LineSource& source, LineChannel& channel, InFlightSlot& slot) {
  while (std::optional<std::string> line = source()) {
    if (consume_cancellation(*line, slot)) continue;
    channel.send(std::move(*line));
  }
  channel.close();
}

Status start_input_reader(const std::shared_ptr<LineChannel>& channel,
                          const std::shared_ptr<InFlightSlot>& slot) {
  return platform::start_detached_thread(kReaderStackBytes, [channel, slot] {
    read_input_lines([] { return platform::read_stdin_line(kMaxLineBytes); }, *channel, *slot);
  });
}

}  // namespace tarnwick
