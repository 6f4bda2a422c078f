#include "server/in_flight.h"

#include <algorithm>

namespace tarnwick {
namespace {

/// Removes the first of `ids` equal to `id`; whether there was one.
bool erase_first(std::deque<json>& ids, const json& id) {
  auto it =
      std::find_if(ids.begin(), ids.end(), [&](const json& one) { return ids_equal(one, id); });
  if (it == ids.end()) return false;
  ids.erase(it);
  return true;
}

}  // namespace

bool ids_equal(const json& a, const json& b) {
  // The library's own equality takes 7 and 7.0 as equal, also inside arrays
  // and objects, so containers are compared here member by member.
  if (a.is_number_integer() && b.is_number_integer()) return a == b;  // signed or unsigned
  if (a.type() != b.type()) return false;
  if (a.is_array()) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), ids_equal);
  }
  if (a.is_object()) {
    if (a.size() != b.size()) return false;
    for (auto it = a.begin(); it != a.end(); ++it) {
      auto other = b.find(it.key());
      if (other == b.end() || !ids_equal(it.value(), *other)) return false;
    }
    return true;
  }
  return a == b;
}

bool InFlightSlot::begin(json id, CancelFlag flag) {
  std::lock_guard guard(mutex_);
  if (erase_first(remembered_, id)) {
    if (flag) flag->store(true, std::memory_order_release);
    id_.reset();
    flag_.reset();
    return false;
  }
  id_ = std::move(id);
  flag_ = std::move(flag);
  return true;
}

void InFlightSlot::clear() {
  std::lock_guard guard(mutex_);
  id_.reset();
  flag_.reset();
}

bool InFlightSlot::cancel(const json& request_id) {
  std::lock_guard guard(mutex_);
  if (id_ && flag_ && ids_equal(*id_, request_id)) {
    flag_->store(true, std::memory_order_release);
    return true;
  }
  if (remembered_.size() >= kMaxRemembered) remembered_.pop_front();
  remembered_.push_back(request_id);
  return false;
}

void InFlightSlot::forget_cancellation(const json& request_id) {
  std::lock_guard guard(mutex_);
  erase_first(remembered_, request_id);
}

}  // namespace tarnwick
