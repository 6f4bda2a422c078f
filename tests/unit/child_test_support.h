#pragma once
// Shared pieces of the tests that start real child processes.

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "../common/stdout_capture.h"
#include "../common/temp_crate.h"
#include "platform/process.h"
#include "runner/child.h"

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
class EnvScope {
 public:
  EnvScope(std::string name, std::optional<std::string> value) : name_(std::move(name)) {
    if (const char* old = ::getenv(name_.c_str())) old_ = old;
    if (value) {
      ::setenv(name_.c_str(), value->c_str(), 1);
    } else {
      ::unsetenv(name_.c_str());
    }
  }
  ~EnvScope() {
    if (old_) {
      ::setenv(name_.c_str(), old_->c_str(), 1);
    } else {
      ::unsetenv(name_.c_str());
    }
  }
  EnvScope(const EnvScope&) = delete;
  EnvScope& operator=(const EnvScope&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

}  // namespace tarnwick::testing
