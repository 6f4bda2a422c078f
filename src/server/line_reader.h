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
#include "base/json_text.h"
#include "base/line_channel.h"
#include "server/in_flight.h"

namespace tarnwick {

/// Stack reservation of the reader thread.
constexpr std::size_t kReaderStackBytes = std::size_t{2} * 1024 * 1024;

/// Longest input line kept. A longer one is read to its end without being
/// held and reaches the channel as an empty text, which no other line is (an
/// empty input line still has its line feed); the loop answers it with a
/// parse error.
constexpr std::size_t kMaxLineBytes = std::size_t{16} * 1024 * 1024;

/// Whether a line from the channel stands for a line that was too long.
inline bool is_overlong_line(std::string_view line) { return line.empty(); }

/// Gives the next input line (an empty text for one over `kMaxLineBytes`),
/// or nothing at end of input or on a read failure.
using LineSource = std::function<std::optional<std::string>()>;

/// The request a line cancels: when the line holds the method's name as it
/// is and, trimmed as the loop trims it, reads as one JSON value (with the
/// loop's limits) that is an object whose "method" is
/// "notifications/cancelled" and whose "params" is an object with a
/// "requestId", that requestId. Nothing else of the line is looked at (not
/// "jsonrpc", not an "id"); any other line gives nothing.
std::optional<json> cancelled_request_id(std::string_view line);

/// A line has reached the loop, or the review dialog that reads lines in its
/// stead: when it cancels a request, a request with that id from here on was
/// sent after it, and the slot forgets the cancellation.
void forget_cancellation_in(std::string_view line, InFlightSlot& slot);

/// Examines a line holding "notifications/cancelled": when it is a
/// cancellation whose params.requestId names the request in `slot`, sets that
/// request's cancel flag and returns true (the line is consumed). A
/// cancellation of another request is remembered by the slot, in case that
/// request still waits in line, and returns false. Any other line returns
/// false.
bool consume_cancellation(std::string_view line, InFlightSlot& slot);

/// The reader's body: forwards every line of `source` to `channel`, bytes
/// that are not UTF-8 included (the loop refuses them), until end of input,
/// then closes the channel.
void read_input_lines(const LineSource& source, LineChannel& channel, InFlightSlot& slot);

/// Starts the detached reader thread over standard input. The channel and the
/// slot are shared with it; it is never joined.
Status start_input_reader(const std::shared_ptr<LineChannel>& channel,
                          const std::shared_ptr<InFlightSlot>& slot);

}  // namespace tarnwick
