#include "server/line_reader.h"

#include "base/quoted.h"
#include "platform/stdio.h"
#include "platform/thread.h"

namespace tarnwick {

namespace {

/// A cancellation whose name is written with escapes is not one here.
bool names_cancellation(std::string_view line) {
  return line.find("notifications/cancelled") != std::string_view::npos;
}

}  // namespace

std::optional<json> cancelled_request_id(std::string_view line, const Message& message) {
  if (!names_cancellation(line) || message.method != "notifications/cancelled" || !message.params)
    return std::nullopt;
  const json* request_id = find_member(*message.params, "requestId");
  if (!request_id) return std::nullopt;
  return *request_id;
}

std::optional<json> cancelled_request_id(std::string_view line) {
  // Only lines that mention the method are parsed.
  if (!names_cancellation(line)) return std::nullopt;
  Result<Message> message = parse_message(trim(line));
  if (!message) return std::nullopt;
  return cancelled_request_id(line, *message);
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
