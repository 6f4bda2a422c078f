#include "base/line_channel.h"

namespace tarnwick {

void LineChannel::send(std::string line) {
  {
    std::lock_guard guard(mutex_);
    lines_.push_back(std::move(line));
  }
  ready_.notify_one();
}

void LineChannel::close() {
  {
    std::lock_guard guard(mutex_);
    closed_ = true;
  }
  ready_.notify_all();
}

std::optional<std::string> LineChannel::recv() {
  std::string line;
  if (recv_until(Deadline::never(), line) != Status::Line) return std::nullopt;
  return line;
}

LineChannel::Status LineChannel::recv_until(const Deadline& deadline, std::string& line) {
  std::unique_lock lock(mutex_);
  auto ready = [&] { return !lines_.empty() || closed_; };
  if (deadline.infinite) {
    ready_.wait(lock, ready);
  } else if (!ready_.wait_until(lock, deadline.at, ready)) {
    return Status::Timeout;
  }
  if (lines_.empty()) return Status::Closed;
  line = std::move(lines_.front());
  lines_.pop_front();
  return Status::Line;
}

}  // namespace tarnwick
