#pragma once
/// The request now running and its cancel flag, shared by the reader thread
/// (which sets the flag) and the tools/call envelope (which registers it).

#include <atomic>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>

#include "base/call_context.h"
#include "base/json_text.h"

namespace tarnwick {

/// Request ids are equal when type and value agree: 7, 7.0 and "7" differ.
bool ids_equal(const json& a, const json& b);

/// The slot also remembers cancellations of requests that had not started
/// when they came, so a request still waiting in line behind the running one
/// is cancelled when its turn comes. The input line order keeps this exact:
/// the reader remembers an id before it passes the cancellation line on, and
/// the loop (or the review dialog, which reads lines in its stead) forgets it
/// when it reaches that line, after every request sent before it; a request
/// with that id sent later runs normally.
class InFlightSlot {
 public:
  /// The most cancellations remembered; the oldest goes first.
  static constexpr size_t kMaxRemembered = 256;

  /// Registers the running request. Returns false, with `flag` set, when a
  /// cancellation for `id` came while the request waited in line: it must
  /// not run.
  bool begin(json id, CancelFlag flag);
  void clear();
  /// Sets the running request's flag when `request_id` names it and returns
  /// true; otherwise remembers the id for `begin` and returns false.
  bool cancel(const json& request_id);
  /// The loop reached the cancellation of `request_id`: requests with that id
  /// from here on were sent after it.
  void forget_cancellation(const json& request_id);

 private:
  std::mutex mutex_;
  std::optional<json> id_;
  CancelFlag flag_;
  std::deque<json> remembered_;
};

}  // namespace tarnwick
