#include "base/call_context.h"

#include <utility>

namespace tarnwick {
namespace {

thread_local std::vector<EnvOverride> t_env_overrides;
thread_local CancelToken t_cancel_token;

}  // namespace

void set_env_overrides(std::vector<EnvOverride> list) { t_env_overrides = std::move(list); }

const std::vector<EnvOverride>& env_overrides() { return t_env_overrides; }

void set_cancel_token(CancelToken token) { t_cancel_token = std::move(token); }

const CancelToken& cancel_token() { return t_cancel_token; }

bool cancel_requested() {
  return t_cancel_token && t_cancel_token->load(std::memory_order_seq_cst);
}

}  // namespace tarnwick
