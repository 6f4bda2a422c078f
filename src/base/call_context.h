#pragma once
/// The per-call context that reaches the runner without being passed through
/// every handler: the caller's environment overrides and the cancel flag.
/// Both live in thread-local cells; all tool calls run on the main thread.

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tarnwick {

/// A request's cancel flag: set by the input reader, read by the running call.
using CancelFlag = std::shared_ptr<std::atomic<bool>>;

inline CancelFlag make_cancel_flag() { return std::make_shared<std::atomic<bool>>(false); }

/// One entry of the tool's `env` argument; no value removes the variable.
struct EnvOverride {
  std::string name;
  std::optional<std::string> value;
};

/// The call's cancel flag; null when the call cannot be cancelled.
using CancelToken = CancelFlag;

/// Replaces this thread's override list.
void set_env_overrides(std::vector<EnvOverride> list);
/// This thread's override list; later entries win.
const std::vector<EnvOverride>& env_overrides();

/// Replaces this thread's cancel token (null clears it).
void set_cancel_token(CancelToken token);
const CancelToken& cancel_token();

/// Whether this thread's call has been cancelled (sequentially consistent load).
bool cancel_requested();

}  // namespace tarnwick
