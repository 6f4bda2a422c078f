#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>

#include "platform/children.h"
#include "platform/stdio.h"

namespace tarnwick::platform {

bool write_stdout(std::string_view bytes) {
  const char* p = bytes.data();
  size_t left = bytes.size();
  while (left > 0) {
    ssize_t n = ::write(STDOUT_FILENO, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  return true;
}

size_t write_stdout_without_waiting(std::string_view bytes) {
  size_t written = 0;
  while (written < bytes.size()) {
    pollfd out{STDOUT_FILENO, POLLOUT, 0};
    int ready = ::poll(&out, 1, 0);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0 || (out.revents & (POLLERR | POLLNVAL)) != 0) return bytes.size();
    if (ready == 0 || (out.revents & POLLOUT) == 0) break;
    // Room reported for a pipe is room for PIPE_BUF bytes at least, so a
    // piece that size goes in whole without waiting.
    size_t piece = std::min(bytes.size() - written, size_t{PIPE_BUF});
    ssize_t n = ::write(STDOUT_FILENO, bytes.data() + written, piece);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return bytes.size();
    written += static_cast<size_t>(n);
  }
  return written;
}

void ignore_broken_pipes() { ::signal(SIGPIPE, SIG_IGN); }

std::optional<std::string> read_stdin_line(size_t max_bytes) {
  // Unbuffered reads would cost a system call per byte; a small buffer kept
  // between calls is enough since only the reader thread calls this.
  static char buffer[65536];
  static size_t start = 0, end = 0;
  static bool ended = false;
  std::string line;
  bool overlong = false;
  // Keeps the bytes while the line fits; past the limit they are dropped.
  auto take = [&](size_t count) {
    if (!overlong && line.size() + count > max_bytes) {
      overlong = true;
      std::string().swap(line);
    }
    if (!overlong) line.append(buffer + start, count);
    start += count;
  };
  for (;;) {
    for (size_t i = start; i < end; ++i) {
      if (buffer[i] == '\n') {
        take(i + 1 - start);
        return line;
      }
    }
    take(end - start);
    start = end = 0;
    if (ended) break;
    ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      // A failed read ends the input; a line it cut short is not handed on.
      ended = true;
      return std::nullopt;
    }
    if (n == 0) {
      ended = true;
      break;
    }
    end = static_cast<size_t>(n);
  }
  if (line.empty() && !overlong) return std::nullopt;
  return line;
}

void exit_process(int code) {
  kill_all_live_children();
  std::fflush(nullptr);
  ::_exit(code);
}

long current_pid() { return static_cast<long>(::getpid()); }

}  // namespace tarnwick::platform
