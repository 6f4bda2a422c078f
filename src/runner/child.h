#pragma once
/// Child processes of a run: starting one in its own job, killing its whole
/// tree, and the two pipe readers.

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "base/bounded_line_channel.h"
#include "base/duration.h"
#include "base/error.h"
#include "platform/process.h"

namespace tarnwick {

/// Program, arguments, environment, working directory and stream targets.
using ChildCommand = platform::ProcessCommand;

/// A started child together with its job. Owns both: the destructor does
/// what `release_child` does when nobody did it before.
class SpawnedChild {
 public:
  explicit SpawnedChild(platform::ChildProcess process) : process_(std::move(process)) {}
  SpawnedChild(SpawnedChild&& other) noexcept;
  SpawnedChild& operator=(SpawnedChild&&) = delete;
  SpawnedChild(const SpawnedChild&) = delete;
  ~SpawnedChild();

  int pid() const { return process_.pid; }
  /// Whether the child is in a job, so that closing it kills the whole tree.
  bool in_job() const { return process_.in_job; }

  /// Hands the read end of a piped stream to its reader; -1 when not piped
  /// or already taken.
  int take_stdout();
  int take_stderr();

  /// The exit code once the child has ended, without waiting; empty while it
  /// runs. A child ended by a signal reports 128 plus the signal number.
  Result<std::optional<int32_t>> poll_exit();
  /// As `poll_exit`, waiting up to `max_wait` for the end, or until `wake`
  /// (when given) is stopped.
  Result<std::optional<int32_t>> wait_exit_for(Duration max_wait,
                                               const platform::ReadStop* wake = nullptr);

  platform::ChildProcess& process() { return process_; }

 private:
  friend Result<int32_t> release_child(SpawnedChild& child);
  platform::ChildProcess process_;
  bool released_ = false;
};

/// Starts the child in a job of its own. A start failure returns the
/// system's error; a job that cannot be made only costs a warning log line.
Result<SpawnedChild> spawn_in_job(const ChildCommand& command);

/// Kills the child and all of its descendants, whatever process group or
/// session they moved to, and returns once they are gone. Never fails.
void kill_process_tree(SpawnedChild& child);

/// Closes the job: every process still in it is killed (the child itself has
/// normally ended by now), and it returns once they are gone. Call it after
/// the child's end and before joining the readers, so a descendant that
/// still holds a pipe cannot keep a run waiting.
void close_job(SpawnedChild& child);

/// Closes the job and the child's pipes; returns the child's exit code. A
/// child whose end was not seen yet is killed first. Later calls return the
/// same code.
Result<int32_t> release_child(SpawnedChild& child);

/// Bytes read from a pipe and not yet handed on as lines. Each byte is
/// searched for a line feed once, however long its line grows, and a long
/// line is handed on without a copy.
class PendingLines {
 public:
  /// Reads once from `fd` into the buffer; returns what `platform::read_some`
  /// returns.
  long read_from(int fd, const platform::ReadStop* stop);
  /// Appends bytes, as a read does.
  void append(std::string_view bytes);
  /// The next complete line, without its "\n" and a "\r" before it; empty
  /// while no line feed has arrived.
  std::optional<std::string> next_line();
  /// The bytes after the last line feed; leaves the buffer empty.
  std::string take_rest();

 private:
  void drop_taken();

  std::string buffer_;
  size_t start_ = 0;    // where the next line begins
  size_t scanned_ = 0;  // no line feed in [start_, scanned_)
};

/// Body of the standard-output reader: sends each line (without "\n" and a
/// "\r" before it; invalid UTF-8 replaced by U+FFFD) into `channel`, then the
/// end marker. Stops early, without the marker, when the receiver is gone.
/// Once `stop` is stopped it takes what the pipe holds and ends. Owns and
/// closes `fd`.
void pipe_lines_thread(int fd, BoundedLineChannel& channel,
                       const platform::ReadStop* stop = nullptr);

/// Body of a whole-stream reader: the pipe's bytes as text, invalid UTF-8
/// replaced by U+FFFD; a read error keeps what was read. Once `stop` is
/// stopped it takes what the pipe holds and ends. Owns and closes `fd`.
std::string pipe_drain_thread(int fd, const platform::ReadStop* stop = nullptr);

/// A thread running `pipe_lines_thread` into a channel of its own. The
/// destructor stops the reading and joins, so a reader never outlives its
/// owner, whatever the pipe's other end does.
class PipeLineReader {
 public:
  explicit PipeLineReader(size_t slots = BoundedLineChannel::kDefaultSlots) : channel_(slots) {}
  PipeLineReader(const PipeLineReader&) = delete;
  PipeLineReader& operator=(const PipeLineReader&) = delete;
  ~PipeLineReader();

  /// Starts reading `fd` (owned from here on, closed even on failure).
  Status start(int fd);
  BoundedLineChannel& channel() { return channel_; }
  /// Ends the waiting for more output: what the pipe holds still arrives,
  /// then the end marker. Needed when a process outside the run may hold
  /// the pipe's other end.
  void stop_waiting() { stop_.stop(); }
  /// Drops the receiving side and waits for the thread's end.
  void join();

 private:
  BoundedLineChannel channel_;
  platform::ReadStop stop_;
  std::thread thread_;
};

/// A thread running `pipe_drain_thread`; `join` hands back its text.
class PipeTextReader {
 public:
  PipeTextReader() = default;
  PipeTextReader(const PipeTextReader&) = delete;
  PipeTextReader& operator=(const PipeTextReader&) = delete;
  ~PipeTextReader() {
    stop_waiting();
    join();
  }

  /// Starts reading `fd` (owned from here on, closed even on failure); the
  /// reading stops once more than `max_bytes` have arrived.
  Status start(int fd, size_t max_bytes = SIZE_MAX);
  /// As `PipeLineReader::stop_waiting`.
  void stop_waiting() { stop_.stop(); }
  /// Whether the reading stopped at `max_bytes`, before the stream's end.
  bool over_limit() const { return over_limit_.load(); }
  /// Waits for the end of the stream; empty when never started.
  std::string join();

 private:
  platform::ReadStop stop_;
  std::thread thread_;
  std::string text_;
  std::atomic<bool> over_limit_{false};
};

}  // namespace tarnwick
