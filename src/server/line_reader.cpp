#include "server/line_reader.h"

#include "base/quoted.h"
#include "platform/stdio.h"
#include "platform/thread.h"

namespace tarnwick {

bool consume_cancellation(std::string_view line, InFlightSlot& slot) {
  json value;
  try {
    value = json::parse(line, nullptr, /*allow_exceptions=*/false);
  } catch (const json::exception&) {
    return false;
  }
  if (!value.is_object()) return false;  // a malformed line parses as "discarded"
  auto method = value.find("method");
  if (method == value.end() || !method->is_string() || *method != "notifications/cancelled") {
    return false;
  }
  auto params = value.find("params");
  if (params == value.end() || !params->is_object()) return false;
  auto request_id = params->find("requestId");
  if (request_id == params->end()) return false;
  return slot.cancel_if_running(*request_id);
}

void read_input_lines(const LineSource& source, LineChannel& channel, InFlightSlot& slot) {
  while (std::optional<std::string> line = source()) {
    // A client that sends bytes that are not UTF-8 is treated as gone.
    if (!is_valid_utf8(*line)) break;
    // Only lines that mention the method are parsed here; the rest pass as they are.
    if (line->find("notifications/cancelled") != std::string::npos &&
        consume_cancellation(*line, slot)) {
      continue;
    }
    channel.send(std::move(*line));
  }
  channel.close();
}

Status start_input_reader(std::shared_ptr<LineChannel> channel,
                          std::shared_ptr<InFlightSlot> slot) {
  return platform::start_detached_thread(kReaderStackBytes, [channel, slot] {
    read_input_lines(platform::read_stdin_line, *channel, *slot);
  });
}

}  // namespace tarnwick
