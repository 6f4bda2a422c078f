#pragma once
/// End-to-end fixture: the built server (or any program) started as a child
/// over pipes, so tests can write its input lines and read its output lines
/// with deadlines.
///
///   ServerProcess server;                    // TARNWICK_SERVER_PATH, no options
///   server.skip_startup_lines();
///   server.write_line(R"({"jsonrpc":"2.0","id":1,"method":"ping"})");
///   std::optional<json> response = server.read_response();
///   server.close_stdin();
///   EXPECT_EQ(server.wait_exit(), 0);

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/json_text.h"

namespace tarnwick::e2e {

using std::chrono::milliseconds;

/// How long a read or wait gives the child by default before it counts as a failure.
constexpr milliseconds kDefaultTimeout{10000};

struct ServerOptions {
  std::string executable = TARNWICK_SERVER_PATH;
  std::vector<std::string> args;  // after the program's path
  /// Set (a value) or remove (nothing) variables of the test's own environment.
  std::vector<std::pair<std::string, std::optional<std::string>>> env;
  std::string working_dir;  // empty: the test's own
};

class ServerProcess {
 public:
  /// Starts the child; `started()` tells whether that worked.
  explicit ServerProcess(ServerOptions options = {});
  /// Starts the server of TARNWICK_SERVER_PATH with `args`.
  explicit ServerProcess(std::vector<std::string> args);
  /// Closes the pipes and kills and reaps the child if it is still there.
  ~ServerProcess();
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }

  /// Writes `line` and a line feed to the child's standard input; false once
  /// the pipe is closed.
  bool write_line(std::string_view line);
  /// Writes `bytes` as they are.
  bool write_raw(std::string_view bytes);
  /// Closes the child's standard input (its end of input).
  void close_stdin();

  /// The next output line without its line feed; nothing on timeout or at
  /// the end of output.
  std::optional<std::string> read_line(milliseconds timeout = kDefaultTimeout);
  /// The next output line parsed as JSON; nothing on timeout, end of output
  /// or a line that is not JSON.
  std::optional<json> read_json(milliseconds timeout = kDefaultTimeout);
  /// The next line that is a response (has no "method"); the notifications
  /// read on the way are appended to `skipped` when given.
  std::optional<json> read_response(milliseconds timeout = kDefaultTimeout,
                                    std::vector<json>* skipped = nullptr);
  /// Reads the log lines the server starts with (info lines, then one warning
  /// per rejected option), as many as the options given make; returns them
  /// (fewer when they did not come in time).
  std::vector<json> skip_startup_lines(milliseconds timeout = kDefaultTimeout);
  /// Closes the reading end of the child's standard output.
  void close_stdout();
  /// Whether the child's standard-output pipe is full: a write to it would
  /// have to wait until the test reads.
  bool output_full() const;

  /// Everything the child wrote to standard error, read until the child
  /// closes it (normally when it ends); nothing on timeout.
  std::optional<std::string> read_stderr(milliseconds timeout = kDefaultTimeout);

  /// The exit code once the child has ended (128 + the signal number when a
  /// signal ended it); nothing when it is still running at the deadline.
  std::optional<int> wait_exit(milliseconds timeout = kDefaultTimeout);

 private:
  ServerOptions options_;
  pid_t pid_ = -1;
  int stdin_fd_ = -1;
  int stdout_fd_ = -1;
  int stderr_fd_ = -1;
  std::string pending_;  // output read but not yet returned as lines
  bool stdout_ended_ = false;
  std::optional<int> exit_code_;
};

}  // namespace tarnwick::e2e
