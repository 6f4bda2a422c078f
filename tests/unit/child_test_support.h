#pragma once
// Shared pieces of the tests that start real child processes.

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "child.h"
#include "platform/process.h"

namespace tarnwick::testing {

inline std::string helper_path() { return std::string(TARNWICK_TEST_BIN_DIR) + "/proc_helper"; }

inline ChildCommand helper_command(std::vector<std::string> args) {
  ChildCommand command;
  command.program = helper_path();
  command.args = std::move(args);
  return command;
}

/// Polls `done` until it holds or `limit` passes.
inline bool wait_until(const std::function<bool()>& done,
                       std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

/// A fresh directory under the system's temporary directory.
class TempDir {
 public:
  TempDir() {
    std::string pattern = "/tmp/tarnwick-test-XXXXXX";
    path_ = ::mkdtemp(pattern.data()) ? pattern : std::string();
  }
  ~TempDir() {
    if (!path_.empty()) std::system(("rm -rf '" + path_ + "'").c_str());
  }
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

/// The process ids listed one per line in `path`.
inline std::vector<int> read_pids(const std::string& path) {
  std::vector<int> pids;
  std::ifstream in(path);
  int pid = 0;
  while (in >> pid) pids.push_back(pid);
  return pids;
}

inline bool all_gone(const std::vector<int>& pids) {
  return wait_until([&] {
    for (int pid : pids) {
      if (platform::process_alive(pid)) return false;
    }
    return true;
  });
}

/// Sets (or with no value, removes) an environment variable for one scope.
class ScopedEnv {
 public:
  ScopedEnv(std::string name, std::optional<std::string> value) : name_(std::move(name)) {
    if (const char* old = ::getenv(name_.c_str())) old_ = old;
    if (value) {
      ::setenv(name_.c_str(), value->c_str(), 1);
    } else {
      ::unsetenv(name_.c_str());
    }
  }
  ~ScopedEnv() {
    if (old_) {
      ::setenv(name_.c_str(), old_->c_str(), 1);
    } else {
      ::unsetenv(name_.c_str());
    }
  }

 private:
  std::string name_;
  std::optional<std::string> old_;
};

/// Redirects fd 1 (where log lines go) into a pipe for one scope.
class StdoutCapture {
 public:
  StdoutCapture() {
    std::fflush(stdout);
    int fds[2];
    if (::pipe(fds) != 0) return;
    read_fd_ = fds[0];
    saved_ = ::dup(1);
    ::dup2(fds[1], 1);
    ::close(fds[1]);
    reader_ = std::thread([this] {
      char buffer[4096];
      for (;;) {
        ssize_t n = ::read(read_fd_, buffer, sizeof buffer);
        if (n <= 0) break;
        text_.append(buffer, static_cast<size_t>(n));
      }
    });
  }
  ~StdoutCapture() { finish(); }
  /// Restores fd 1 and returns what was written meanwhile.
  std::string finish() {
    if (saved_ >= 0) {
      ::dup2(saved_, 1);
      ::close(saved_);
      saved_ = -1;
      reader_.join();
      ::close(read_fd_);
    }
    return text_;
  }

 private:
  int saved_ = -1;
  int read_fd_ = -1;
  std::thread reader_;
  std::string text_;
};

}  // namespace tarnwick::testing
