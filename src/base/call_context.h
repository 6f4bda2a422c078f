#pragma once
/// The per-call context that reaches the runner without being passed through
/// every handler: the caller's environment overrides and the cancel flag.
/// Both live in thread-local cells; all tool calls run on the main thread.

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace tarnwick {

/// A request's cancel flag: set by the input reader, read by the running call.
/// Setting it also wakes the call's current wait at once (see
/// `CancelWakeScope`), so a cancellation is not left for a poll to notice.
class CancelSignal {
 public:
  bool load(std::memory_order order = std::memory_order_seq_cst) const { return flag_.load(order); }
  /// Setting it to true runs the waker, on the calling thread.
  void store(bool value, std::memory_order order = std::memory_order_seq_cst);

 private:
  friend class CancelWakeScope;
  /// Installs `wake` and returns the one it replaces; runs it at once when
  /// the flag is set already.
  std::function<void()> swap_waker(std::function<void()> wake);

  std::atomic<bool> flag_{false};
  std::mutex mutex_;
  std::function<void()> waker_;  // must not block: it runs under `mutex_`
};

using CancelFlag = std::shared_ptr<CancelSignal>;

inline CancelFlag make_cancel_flag() { return std::make_shared<CancelSignal>(); }

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

/// While it lives, cancelling this thread's call runs `wake` (on the
/// cancelling thread, and at once when the call is cancelled already), so a
/// wait can end the moment the call is cancelled. `wake` must be quick and
/// must not block. Does nothing when the call cannot be cancelled.
class CancelWakeScope {
 public:
  explicit CancelWakeScope(std::function<void()> wake);
  /// The same for the call that `token` cancels, whichever thread runs it.
  CancelWakeScope(CancelToken token, std::function<void()> wake);
  ~CancelWakeScope();
  CancelWakeScope(const CancelWakeScope&) = delete;
  CancelWakeScope& operator=(const CancelWakeScope&) = delete;

 private:
  CancelToken token_;
  std::function<void()> previous_;
};

}  // namespace tarnwick
