#pragma once
// Small pieces shared by the stand-in children (fake_cargo, proc_helper).
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace helper_io {

/// Writes every byte or ends the process: a stand-in that cannot write has failed.
inline void write_all(int fd, const std::string &bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) std::_Exit(3);
    done += static_cast<size_t>(n);
  }
}

/// Appends one line to `path`, creating it.
inline void append_line(const std::string &path, const std::string &line) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (fd < 0) std::_Exit(4);
  write_all(fd, line + "\n");
  ::close(fd);
}

inline void append_pid(const std::string &path) { append_line(path, std::to_string(::getpid())); }

[[noreturn]] inline void sleep_forever() {
  for (;;) ::pause();
}

/// Starts a child and a grandchild that sleep forever, each appending its id to `path`.
inline void start_tree(const std::string &path) {
  if (::fork() == 0) {
    if (::fork() == 0) {
      append_pid(path);
      sleep_forever();
    }
    append_pid(path);
    sleep_forever();
  }
}

/// Starts a daemon that sleeps forever with this process's stdout and
/// stderr, in a session of its own and with no living parent (it is handed
/// to the nearest subreaper), and appends its id to `path`. Returns once the
/// id is written.
inline void start_daemon(const std::string &path) {
  pid_t middle = ::fork();
  if (middle == 0) {
    ::setsid();
    if (::fork() == 0) {
      append_pid(path);
      sleep_forever();
    }
    std::_Exit(0);
  }
  int status = 0;
  ::waitpid(middle, &status, 0);
  for (int i = 0; i < 3000; ++i) {
    if (::access(path.c_str(), F_OK) == 0) return;
    ::usleep(10'000);
  }
}

/// Puts stdout and stderr on /dev/null, as a parent that stopped reading would leave them.
inline void close_output() {
  int null_fd = ::open("/dev/null", O_WRONLY);
  ::dup2(null_fd, 1);
  ::dup2(null_fd, 2);
  ::close(null_fd);
}

}  // namespace helper_io
