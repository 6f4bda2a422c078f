#pragma once
/// The input reader: reads standard input line by line on its own thread,
/// queues every line for the main thread and acts on the client's
/// cancellation of the running request at once.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/error.h"
#include "base/line_channel.h"
#include "server/in_flight.h"

namespace tarnwick {

/// Stack reservation of the reader thread.
constexpr std::size_t kReaderStackBytes = std::size_t{2} * 1024 * 1024;

/// Gives the next input line, or nothing at end of input or on a read failure.
using LineSource = std::function<std::optional<std::string>()>;

/// Examines a line holding "notifications/cancelled": when it is a
/// cancellation whose params.requestId names the request in `slot`, sets that
/// request's cancel flag and returns true (the line is consumed). Any other
/// line, malformed JSON included, returns false.
bool consume_cancellation(std::string_view line, InFlightSlot& slot);

/// The reader's body: forwards every line of `source` to `channel` until end
/// of input or a line that is not valid UTF-8, then closes the channel.
void read_input_lines(const LineSource& source, LineChannel& channel, InFlightSlot& slot);

/// Starts the detached reader thread over standard input. The channel and the
/// slot are shared with it; it is never joined.
Status start_input_reader(std::shared_ptr<LineChannel> channel, std::shared_ptr<InFlightSlot> slot);

}  // namespace tarnwick
