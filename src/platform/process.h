#pragma once
/// Starting, watching and killing child processes. Each child runs in a job
/// of its own, held by a small guard process: ending the job kills the child
/// and everything it started, and the job also ends when the server dies.

#include <atomic>
#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "base/duration.h"
#include "base/error.h"

namespace tarnwick::platform {

/// Where one of the child's output streams goes.
struct Redirect {
  /// `Stdout` is for standard error only: it then shares standard output's
  /// target, so both streams reach the reader in the order they were written.
  enum class Kind { Pipe, Null, File, Stdout };
  Kind kind = Kind::Pipe;
  /// For `File`: an open descriptor the caller owns and keeps open until the
  /// child has started; the child gets its own copy.
  int fd = -1;

  static Redirect pipe() { return {Kind::Pipe}; }
  static Redirect null() { return {Kind::Null}; }
  static Redirect file(int fd) { return {Kind::File, fd}; }
  static Redirect stdout_target() { return {Kind::Stdout}; }
};

/// Everything needed to start one program. Standard input is always the null
/// device.
struct ProcessCommand {
  /// A path, or a bare name searched in the child's PATH.
  std::string program;
  /// The arguments after the program name.
  std::vector<std::string> args;
  /// The child's whole environment; empty means the server's own.
  std::optional<std::map<std::string, std::string>> env;
  /// The child's working directory; empty means the server's own.
  std::optional<std::string> cwd;
  Redirect stdout_to = Redirect::pipe();
  Redirect stderr_to = Redirect::pipe();
  /// False only in tests of the fallback for children outside a job.
  bool in_job = true;
};

/// A started child and the guard process that holds its job. Plain data: the
/// owner decides when to end the job.
struct ChildProcess {
  int pid = -1;
  /// The guard: the child's parent, and the parent of every orphan below it.
  int guard_pid = -1;
  /// Whether every descendant stays in the job, whatever process group or
  /// session it moves to and whether its parent lives. When false only the
  /// descendants still linked to the child by their parents are reached.
  bool in_job = false;
  /// Why the child is not in a job, when `in_job` is false.
  std::optional<IoError> job_error;
  /// The parent's read ends of piped streams; -1 when not piped or taken.
  int stdout_fd = -1;
  int stderr_fd = -1;
  /// A descriptor that becomes readable when the child ends.
  int exit_fd = -1;
  /// The server's end of the guard's control channel; -1 once the job ended.
  int job_fd = -1;
  /// Set once the child's end has been seen.
  std::optional<int> exit_code;
  /// Set once the job has ended and its guard is reaped.
  bool reaped = false;
};

/// "<system text> (os error N)" for an errno value.
IoError io_error_from_errno(int err);

/// Starts the child in a job of its own. A failure to find, start or enter
/// the working directory of the program comes back as the system's error.
/// The job ends, killing all that is left of it, with `end_job` or when the
/// server process ends in any way, a SIGKILL included.
Result<ChildProcess> start_process(const ProcessCommand& command);

/// Whether the child has ended, without waiting. A child ended by a signal
/// reports 128 plus the signal number.
Result<std::optional<int>> poll_exit(ChildProcess& child);

class ReadStop;

/// As `poll_exit`, but waits up to `max_wait` for the end; returns early,
/// with what `poll_exit` says, once `wake` (when given) is stopped.
Result<std::optional<int>> wait_exit_for(ChildProcess& child, Duration max_wait,
                                         const ReadStop* wake = nullptr);

/// Ends the job: kills every process still in it, the child included, and
/// returns once all of them are gone and reaped. Returns the child's exit
/// code, or an error when its end could not be learnt. Later calls return
/// the same.
Result<int> end_job(ChildProcess& child);

/// Closes the child's remaining descriptors (pipes and exit descriptor).
void close_descriptors(ChildProcess& child);

/// Lets one thread end another's waiting in `read_some`: once stopped, reads
/// take only what the pipe already holds and then report its end.
class ReadStop {
 public:
  ReadStop();
  ~ReadStop();
  ReadStop(const ReadStop&) = delete;
  ReadStop& operator=(const ReadStop&) = delete;
  /// May be called from any thread, more than once.
  void stop();

 private:
  friend long read_some(int fd, char* buffer, unsigned long size, const ReadStop* stop);
  friend Result<std::optional<int>> wait_exit_for(ChildProcess& child, Duration max_wait,
                                                  const ReadStop* wake);
  int wake_fd_ = -1;  // an eventfd, readable once stopped; -1 when none could be made
  std::atomic<bool> stopped_{false};
};

/// Reads up to `size` bytes; retries on interruption. Returns the count,
/// 0 at the end (or once `stop` is stopped and the pipe holds nothing), or
/// -1 on error.
long read_some(int fd, char* buffer, unsigned long size, const ReadStop* stop = nullptr);

/// Closes `fd` when it is open and sets it to -1.
void close_fd(int& fd);

/// "SIGABRT: Aborted": the signal's name and the system's words for it.
std::string signal_description(int signal);

/// Whether a process with this id still runs (a zombie counts as ended).
bool process_alive(int pid);

}  // namespace tarnwick::platform
