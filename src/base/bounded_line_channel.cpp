#include "base/bounded_line_channel.h"

namespace tarnwick {

bool BoundedLineChannel::send(std::string line) {
  std::unique_lock lock(mutex_);
  writable_.wait(lock, [&] { return receiver_gone_ || lines_.size() < slots_; });
  if (receiver_gone_) return false;
  lines_.push_back(std::move(line));
  readable_.notify_one();
  return true;
}

bool BoundedLineChannel::send_all(std::vector<std::string>& lines) {
  size_t next = 0;
  while (next < lines.size()) {
    std::unique_lock lock(mutex_);
    writable_.wait(lock, [&] { return receiver_gone_ || lines_.size() < slots_; });
    if (receiver_gone_) {
      lines.clear();
      return false;
    }
    while (next < lines.size() && lines_.size() < slots_)
      lines_.push_back(std::move(lines[next++]));
    readable_.notify_one();
  }
  lines.clear();
  return true;
}

void BoundedLineChannel::send_end() {
  std::lock_guard lock(mutex_);
  ended_ = true;
  readable_.notify_all();
}

BoundedLineChannel::Recv BoundedLineChannel::take(std::string& line) {
  if (!lines_.empty()) {
    line = std::move(lines_.front());
    lines_.pop_front();
    writable_.notify_one();
    return Recv::Line;
  }
  return ended_ ? Recv::End : Recv::Empty;
}

BoundedLineChannel::Recv BoundedLineChannel::recv_until(const Deadline& deadline,
                                                        std::string& line) {
  std::unique_lock lock(mutex_);
  auto ready = [&] { return !lines_.empty() || ended_ || woken_; };
  if (deadline.infinite) {
    readable_.wait(lock, ready);
  } else {
    readable_.wait_until(lock, deadline.at, ready);
  }
  Recv got = take(line);
  if (got == Recv::Empty) woken_ = false;
  return got;
}

BoundedLineChannel::Recv BoundedLineChannel::try_recv(std::string& line) {
  std::lock_guard lock(mutex_);
  return take(line);
}

void BoundedLineChannel::wake_receiver() {
  std::lock_guard lock(mutex_);
  woken_ = true;
  readable_.notify_all();
}

void BoundedLineChannel::close_receiver() {
  std::lock_guard lock(mutex_);
  receiver_gone_ = true;
  lines_.clear();
  writable_.notify_all();
}

}  // namespace tarnwick
