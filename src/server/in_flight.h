#pragma once
/// The request now running and its cancel flag, shared by the reader thread
/// (which sets the flag) and the tools/call envelope (which registers it).

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>

#include "base/call_context.h"
#include "base/json_text.h"

namespace tarnwick {

/// Request ids are equal when type and value agree: 7, 7.0 and "7" differ.
bool ids_equal(const json& a, const json& b);

class InFlightSlot {
 public:
  void begin(json id, CancelFlag flag);
  void clear();
  /// Sets the running request's flag when `request_id` names it; returns
  /// whether it did.
  bool cancel_if_running(const json& request_id);

 private:
  std::mutex mutex_;
  std::optional<json> id_;
  CancelFlag flag_;
};

}  // namespace tarnwick
