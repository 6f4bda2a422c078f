#pragma once
/// The unbounded queue of input lines from the reader thread to the main
/// thread. It closes when the reader thread ends.

#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <string>

#include "base/duration.h"

namespace tarnwick {

class LineChannel {
 public:
  /// Queues a line; never blocks.
  void send(std::string line);
  /// Marks the sending end as gone: receivers drain what is queued, then see
  /// the channel closed.
  void close();

  /// Waits without limit for the next line; empty once closed and drained.
  std::optional<std::string> recv();

  enum class Status { Line, Timeout, Closed };
  /// Waits until `deadline` for the next line.
  Status recv_until(const Deadline& deadline, std::string& line);

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::string> lines_;
  bool closed_ = false;
};

}  // namespace tarnwick
