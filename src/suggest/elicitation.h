#pragma once
/// One elicitation/create round trip with the client, made from inside a
/// running tools/call: the request goes to standard output, and the client's
/// lines are read from the line channel until the answer comes, the client
/// cancels the request, the time runs out or the input ends. Requests that
/// arrive meanwhile are refused as busy and never run later; shutdown and exit
/// are still obeyed.
///
/// Runs on the main thread only. Every line is written whole through the
/// standard-output lock, with the keys of its objects sorted.

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/duration.h"
#include "base/json_text.h"
#include "base/line_channel.h"

namespace tarnwick {

/// How long the server waits for the user's answer.
inline constexpr Duration kElicitationTimeout{30, 0};

/// What an exchange needs from the server around it.
struct ElicitationLink {
  /// The receiving end of the input lines; the server loop does not read it
  /// while the exchange waits.
  LineChannel& channel;
  /// The wait's limit, counted once from the moment the request is out.
  Duration timeout = kElicitationTimeout;
  /// Ends the server process with the given code (on shutdown or exit during
  /// the wait). The server's never returns; should it return (tests), the
  /// exchange ends without an answer.
  std::function<void(int)> exit_process;
  /// Sees every line the exchange takes from the channel, as it came, before
  /// the exchange acts on it: the server does there what its loop does with
  /// each line it reads (forgetting the cancellations among them). May be empty.
  std::function<void(std::string_view line)> line_taken;
};

/// "s-1", "s-2", ...: a new request id on every call, never repeated within
/// the process.
std::string next_elicitation_id();

/// Sends `request` (whose id is `request_id`) and waits for its answer.
/// Returns the string values of the answer's content.selected when the client
/// accepted (possibly empty), and nothing when it declined, cancelled, failed,
/// the wait timed out or the input ended. Never fails otherwise.
std::optional<std::vector<std::string>> send_elicitation(const ElicitationLink& link,
                                                         const json& request,
                                                         const std::string& request_id);

/// One notifications/message line with `data` exactly as given (callers add
/// the "tarnwick: " prefix) at `level` ("info" or "warning"). Write failures
/// are dropped.
void notify_log(std::string_view level, std::string_view data);

}  // namespace tarnwick
