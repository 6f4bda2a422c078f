#pragma once
/// Starting, watching and killing child processes. Each child gets a process
/// group of its own, which plays the part of a job object: killing the group
/// kills the child and everything it started.

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
  enum class Kind { Pipe, Null, File };
  Kind kind = Kind::Pipe;
  /// For `File`: an open descriptor the caller owns and keeps open until the
  /// child has started; the child gets its own copy.
  int fd = -1;

  static Redirect pipe() { return {Kind::Pipe}; }
  static Redirect null() { return {Kind::Null}; }
  static Redirect file(int fd) { return {Kind::File, fd}; }
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
  /// False only in tests of the fallback kill for children without a group.
  bool own_group = true;
};

/// A started child. Plain data: the owner decides when to kill and reap.
struct ChildProcess {
  int pid = -1;
  /// The child's own process group, or -1 when none could be made.
  int group = -1;
  /// Why no group could be made, when `group` is -1.
  std::optional<IoError> group_error;
  /// The parent's read ends of piped streams; -1 when not piped or taken.
  int stdout_fd = -1;
  int stderr_fd = -1;
  /// A descriptor that becomes readable when the child ends; -1 when the
  /// kernel offers none.
  int exit_fd = -1;
  /// Set once the child's end has been seen.
  std::optional<int> exit_code;
  bool reaped = false;
};

/// "<system text> (os error N)" for an errno value.
IoError io_error_from_errno(int err);

/// Starts the child. A failure to find, start or enter the working directory
/// of the program comes back as the system's error. The child's parent-death
/// signal fires when the calling thread ends, so start children from a
/// thread that outlives them (the main thread).
Result<ChildProcess> start_process(const ProcessCommand& command);

/// Whether the child has ended, without waiting and without reaping it (so
/// its process group id stays reserved until `reap`). A child ended by a
/// signal reports 128 plus the signal number.
Result<std::optional<int>> poll_exit(ChildProcess& child);

/// As `poll_exit`, but waits up to `max_wait` for the end.
Result<std::optional<int>> wait_exit_for(ChildProcess& child, Duration max_wait);

/// Kills every process in the child's group; nothing when it has none or is
/// already reaped.
void kill_group(ChildProcess& child);

/// Kills the child alone; nothing once reaped.
void kill_child(ChildProcess& child);

/// Kills `pid` and every descendant found through the parent links under
/// /proc: the fallback for a child without a process group.
void kill_descendants_and_self(int pid);

/// Waits without limit for the child's end, reaps it and returns its exit code.
Result<int> reap(ChildProcess& child);

/// Closes the child's remaining descriptors (pipes and exit descriptor).
void close_descriptors(ChildProcess& child);

/// Reads up to `size` bytes; retries on interruption. Returns the count,
/// 0 at the end, or -1 on error.
long read_some(int fd, char* buffer, unsigned long size);

/// Closes `fd` when it is open and sets it to -1.
void close_fd(int& fd);

/// Whether a process with this id still runs (a zombie counts as ended).
bool process_alive(int pid);

}  // namespace tarnwick::platform
