#pragma once
/// The bounded queue that carries a child's standard-output lines from its
/// reader thread to the run loop. A full queue blocks the reader, which in
/// turn holds back the child once its pipe is full.

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "base/duration.h"

namespace tarnwick {

class BoundedLineChannel {
 public:
  static constexpr size_t kDefaultSlots = 256;
  explicit BoundedLineChannel(size_t slots = kDefaultSlots) : slots_(slots ? slots : 1) {}

  /// Queues a line, waiting while every slot is taken. False when the
  /// receiving side is gone.
  bool send(std::string line);
  /// Queues all of `lines` in order (leaving it empty), as many at a time as
  /// there are free slots, waking the receiver once for each group rather
  /// than for each line. False when the receiving side is gone.
  bool send_all(std::vector<std::string>& lines);
  /// Queues the end-of-stream marker; receivers see it after the lines.
  void send_end();

  enum class Recv { Line, Empty, End };
  /// Waits until `deadline` for a line. `End` once the marker is reached.
  Recv recv_until(const Deadline& deadline, std::string& line);
  /// Takes a line if one is waiting; `Empty` otherwise.
  Recv try_recv(std::string& line);
  /// Ends the receiver's current or next wait in `recv_until` early, with
  /// `Empty` (a line already waiting still comes first). Any thread.
  void wake_receiver();
  /// Drops the receiving side: queued lines are discarded and senders stop.
  void close_receiver();

 private:
  Recv take(std::string& line);

  const size_t slots_;
  std::mutex mutex_;
  std::condition_variable readable_;
  std::condition_variable writable_;
  std::deque<std::string> lines_;
  bool ended_ = false;
  bool receiver_gone_ = false;
  bool woken_ = false;
};

}  // namespace tarnwick
