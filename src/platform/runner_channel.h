#pragma once
/// The server's end of the private channel to the test runners of one cargo
/// run: a socket under a fresh abstract name that only processes of the
/// server's own user may reach, the runners' connections, and the two output
/// pipes of every binary a runner was told to start. What the binaries write
/// is read here, apart from cargo's output and from each other's.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/error.h"

namespace tarnwick::platform {

class RunnerChannel {
 public:
  /// One connected runner, numbered from 1 in the order they came.
  using RunnerId = uint64_t;

  struct Event {
    enum class Kind {
      Message,  // `fields` of a message from `runner`
      Output,   // `bytes` its binary wrote to standard output or error
      Hangup,   // the runner closed its end (it ended, or was killed)
      Stopped,  // `stop` was called and every pipe is read
    };
    Kind kind = Kind::Stopped;
    RunnerId runner = 0;
    std::vector<std::string> fields;
    bool is_stderr = false;
    std::string bytes;
  };

  /// Listens under a fresh name; fails with the system's error.
  static Result<std::unique_ptr<RunnerChannel>> open();
  ~RunnerChannel();
  RunnerChannel(const RunnerChannel&) = delete;
  RunnerChannel& operator=(const RunnerChannel&) = delete;

  /// The address runners are given ("@" and the abstract name).
  const std::string& address() const { return address_; }

  /// Waits for the next event. A binary's output is reported before any
  /// message its runner sent later. After `stop`, what the pipes still hold
  /// comes out, then `Stopped` (and again on every later call).
  Event next();

  /// Replies to a runner. With `output`, the binary's two pipes are made
  /// first and their write ends go with the reply.
  Status reply(RunnerId runner, const std::vector<std::string>& fields, bool output);

  /// Output events for all that the runner's pipes hold at this moment: at
  /// the report of its binary's end, what the binary wrote before it ended.
  std::vector<Event> take_output_now(RunnerId runner);

  /// Ends the waiting of `next`; callable from any thread.
  void stop();

 private:
  struct Runner;
  RunnerChannel() = default;
  void accept_runners();
  void read_runner(Runner& runner);
  void read_pipe(Runner& runner, bool is_stderr);
  void read_held(Runner& runner, std::vector<Event>& events);
  void poll_once();

  std::string address_;
  int listen_fd_ = -1;
  int wake_fd_ = -1;
  bool stopping_ = false;
  RunnerId next_id_ = 1;
  std::vector<std::unique_ptr<Runner>> runners_;
  std::vector<Event> queue_;
  size_t queue_head_ = 0;
  std::unique_ptr<char[]> message_buffer_;
};

}  // namespace tarnwick::platform
