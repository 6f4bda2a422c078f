#include "base/call_context.h"

#include <utility>

namespace tarnwick {
namespace {

thread_local std::vector<EnvOverride> t_env_overrides;
thread_local CancelToken t_cancel_token;

}  // namespace

void CancelSignal::store(bool value, std::memory_order order) {
  flag_.store(value, order);
  if (!value) return;
  std::lock_guard guard(mutex_);
  if (waker_) waker_();
}

std::function<void()> CancelSignal::swap_waker(std::function<void()> wake) {
  std::lock_guard guard(mutex_);
  std::swap(waker_, wake);
  if (waker_ && flag_.load()) waker_();
  return wake;
}

CancelWakeScope::CancelWakeScope(std::function<void()> wake)
    : CancelWakeScope(cancel_token(), std::move(wake)) {}

CancelWakeScope::CancelWakeScope(CancelToken token, std::function<void()> wake)
    : token_(std::move(token)) {
  if (token_) previous_ = token_->swap_waker(std::move(wake));
}

CancelWakeScope::~CancelWakeScope() {
  if (token_) (void)token_->swap_waker(std::move(previous_));
}

void set_env_overrides(std::vector<EnvOverride> list) { t_env_overrides = std::move(list); }

const std::vector<EnvOverride>& env_overrides() { return t_env_overrides; }

void set_cancel_token(CancelToken token) { t_cancel_token = std::move(token); }

const CancelToken& cancel_token() { return t_cancel_token; }

bool cancel_requested() {
  return t_cancel_token && t_cancel_token->load(std::memory_order_seq_cst);
}

}  // namespace tarnwick
