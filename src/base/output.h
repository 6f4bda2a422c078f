#pragma once
/// Everything the server writes to standard output: responses, notifications
/// and log lines, one compact JSON message per line.

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "base/json_text.h"

namespace tarnwick {

/// The process-wide re-entrant lock on standard output. The main thread holds
/// it for the whole run; writers called from inside a tool call take it again.
std::recursive_mutex& stdout_lock();

struct RpcError {
  int32_t code = 0;
  std::string message;
};

/// What answering a request yields: a result value or an error.
struct Outcome {
  std::optional<json> result;  // set for a result
  RpcError error;              // used when `result` and `result_text` are empty
  /// A result already in its compact text form, for an answer that never
  /// changes; used instead of `result` when set.
  std::shared_ptr<const std::string> result_text;

  static Outcome ok(json value) { return {std::move(value), {}, nullptr}; }
  static Outcome ok_text(std::shared_ptr<const std::string> text) {
    return {std::nullopt, {}, std::move(text)};
  }
  static Outcome fail(int32_t code, std::string message) {
    return {std::nullopt, {code, std::move(message)}, nullptr};
  }
};

/// Writes {"jsonrpc":..,"id":..,"result"|"error":..} in that key order, with
/// `id_text` (compact JSON, "null" for none) as the id.
void write_message(std::string_view id_text, const Outcome& outcome,
                   std::string_view jsonrpc = "2.0");

/// Writes {"jsonrpc":"2.0","method":M,"params":P}.
void write_notification(std::string_view method, const json& params);

/// Writes {"jsonrpc":"2.0","method":M,"params":P} with `params_text` (compact
/// JSON) as P, but only when standard output takes it now: a client that has
/// stopped reading never holds up the caller. False when nothing of it went
/// out. A line that went out in part is finished before any other line, so
/// lines never interleave; the other writers wait for it as they wait for
/// their own.
bool write_notification_without_waiting(std::string_view method, std::string_view params_text);

/// Log lines of the server core: `text` goes out as `data` unchanged.
void log_info(std::string_view text);
void log_warning(std::string_view text);

/// Log line of the runner and the tool handlers: `data` is "tarnwick: " and
/// `text`. `level` is "info" or "warning". Never fails the caller.
void send_log_message(std::string_view level, std::string_view text);

/// Writes one complete line (a line feed is added) under the lock and
/// flushes. For messages built elsewhere, such as elicitation requests.
/// False when the write failed; the other writers ignore that.
bool write_line(std::string_view line);

}  // namespace tarnwick
