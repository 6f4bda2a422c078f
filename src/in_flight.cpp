#include "in_flight.h"

namespace tarnwick {

bool ids_equal(const json& a, const json& b) {
  auto is_int = [](const json& v) { return v.is_number_integer(); };  // signed or unsigned
  if (is_int(a) && is_int(b)) return a == b;
  if (a.type() != b.type()) return false;
  return a == b;
}

void InFlightSlot::begin(json id, CancelFlag flag) {
  std::lock_guard guard(mutex_);
  id_ = std::move(id);
  flag_ = std::move(flag);
}

void InFlightSlot::clear() {
  std::lock_guard guard(mutex_);
  id_.reset();
  flag_.reset();
}

bool InFlightSlot::cancel_if_running(const json& request_id) {
  std::lock_guard guard(mutex_);
  if (!id_ || !flag_ || !ids_equal(*id_, request_id)) return false;
  flag_->store(true, std::memory_order_release);
  return true;
}

}  // namespace tarnwick
