#pragma once
/// Child processes of a run: starting one in its own job (a process group),
/// killing its whole tree, and the two pipe reader bodies.

#include <cstdint>
#include <optional>
#include <string>
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
  bool in_job() const { return process_.group > 0; }

  /// Hands the read end of a piped stream to its reader; -1 when not piped
  /// or already taken.
  int take_stdout();
  int take_stderr();

  /// The exit code once the child has ended, without waiting; empty while it
  /// runs. A child ended by a signal reports 128 plus the signal number.
  Result<std::optional<int32_t>> poll_exit();
  /// As `poll_exit`, waiting up to `max_wait` for the end.
  Result<std::optional<int32_t>> wait_exit_for(Duration max_wait);

  platform::ChildProcess& process() { return process_; }

 private:
  friend Result<int32_t> release_child(SpawnedChild& child);
  platform::ChildProcess process_;
  bool released_ = false;
};

/// Starts the child in a job of its own. A start failure returns the
/// system's error; a job that cannot be made only costs a warning log line.
Result<SpawnedChild> spawn_in_job(const ChildCommand& command);

/// Kills the child and all of its descendants and reaps the child. Without a
/// job the descendants are found through their parent links. Never fails.
void kill_process_tree(SpawnedChild& child);

/// Closes the job: every process still in it is killed (the child itself has
/// normally ended by now). Nothing without a job. Call it after the child's
/// end and before joining the readers, so a descendant that still holds a
/// pipe cannot keep a run waiting.
void close_job(SpawnedChild& child);

/// Closes the job and the child's pipes and reaps it; returns its exit code.
/// A child whose end was not seen yet is killed first. Later calls return
/// the same code.
Result<int32_t> release_child(SpawnedChild& child);

/// Body of the standard-output reader: sends each line (without "\n" and a
/// "\r" before it; invalid UTF-8 replaced by U+FFFD) into `channel`, then the
/// end marker. Stops early, without the marker, when the receiver is gone.
/// Owns and closes `fd`.
void pipe_lines_thread(int fd, BoundedLineChannel& channel);

/// Body of a whole-stream reader: the pipe's bytes as text, invalid UTF-8
/// replaced by U+FFFD; a read error keeps what was read. Owns and closes `fd`.
std::string pipe_drain_thread(int fd);

/// Starts `pipe_lines_thread` on its own thread. When the system refuses a
/// thread, `fd` is closed and the error returned.
Result<std::thread> start_pipe_lines_reader(int fd, BoundedLineChannel& channel);

/// A thread running `pipe_drain_thread`; `join` hands back its text.
class PipeTextReader {
 public:
  PipeTextReader() = default;
  PipeTextReader(const PipeTextReader&) = delete;
  PipeTextReader& operator=(const PipeTextReader&) = delete;
  ~PipeTextReader() { join(); }

  /// Starts reading `fd` (owned from here on, closed even on failure).
  Status start(int fd);
  /// Waits for the end of the stream; empty when never started.
  std::string join();

 private:
  std::thread thread_;
  std::string text_;
};

}  // namespace tarnwick
