#pragma once
// Shared pieces of the runner tests: the scripted cargo stand-in, scoped
// settings and environment, and a sink that keeps what it saw.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "../common/temp_crate.h"
#include "base/call_context.h"
#include "base/settings.h"
#include "child_test_support.h"
#include "runner/run_types.h"

namespace tarnwick::testing {

inline std::string test_bin(const std::string &name) {
  return std::string(TARNWICK_TEST_BIN_DIR) + "/" + name;
}

/// Publishes settings for one scope and the defaults afterwards.
class SettingsScope {
 public:
  explicit SettingsScope(const ServerSettings &settings) { publish_settings(settings); }
  ~SettingsScope() { publish_settings(ServerSettings{}); }
};

/// Publishes a cancel token for one scope.
class CancelScope {
 public:
  CancelScope() : flag_(make_cancel_flag()) { set_cancel_token(flag_); }
  ~CancelScope() { set_cancel_token(nullptr); }
  void cancel() { flag_->store(true); }

 private:
  CancelFlag flag_;
};

/// A sink that keeps every line it receives; `on_line` may react to one.
class RecordingSink {
 public:
  RecordingSink()
      : sink_([this](std::string_view line) {
          lines.emplace_back(line);
          if (on_line) on_line(lines.back());
        }) {}
  const ProgressSink *get() const { return &sink_; }

  bool saw(const std::string &line) const {
    for (const auto &l : lines)
      if (l == line) return true;
    return false;
  }
  size_t count_starting(const std::string &prefix) const {
    size_t n = 0;
    for (const auto &l : lines) n += l.starts_with(prefix);
    return n;
  }

  std::vector<std::string> lines;
  std::function<void(const std::string &)> on_line;

 private:
  ProgressSink sink_;
};

/// The scripted cargo stand-in, in a folder of its own, chosen through CARGO.
class FakeCargo {
 public:
  FakeCargo() : cargo_("CARGO", test_bin("fake_cargo")), dir_env_("FAKE_CARGO_DIR", dir_.path()) {}

  /// The script of every run without one of its own.
  void script(const std::string &text) const { dir_.write("script", text); }
  /// The script of run number `run` (from 1).
  void script_for(int run, const std::string &text) const {
    dir_.write("script." + std::to_string(run), text);
  }
  /// One "PID ARGS..." line per run so far.
  std::vector<std::string> calls() const {
    std::vector<std::string> lines;
    std::ifstream in(dir_ / "calls");
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  std::string path(const std::string &relative) const { return dir_ / relative; }

 private:
  TempDir dir_{"tarnwick-fake-cargo"};
  EnvScope cargo_;
  EnvScope dir_env_;
};

/// Real cargo from the toolchain, offline, whatever the environment says.
class RealCargo {
 public:
  RealCargo()
      : cargo_("CARGO", std::nullopt),
        offline_("CARGO_NET_OFFLINE", "true"),
        target_("CARGO_TARGET_DIR", std::nullopt) {}

 private:
  EnvScope cargo_;
  EnvScope offline_;
  EnvScope target_;
};

/// A request for `argv` whose lines go to `sink`.
inline RunRequest request_for(const RecordingSink &sink, std::vector<std::string> argv) {
  RunRequest request;
  request.argv = std::move(argv);
  request.sink = sink.get();
  return request;
}

inline double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

/// A file held open for writing by the `hold_file` helper until `release`.
class HeldFile {
 public:
  explicit HeldFile(const std::string &path) {
    int to_child[2], from_child[2];
    if (::pipe(to_child) != 0 || ::pipe(from_child) != 0) return;
    std::string program = test_bin("hold_file");
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(to_child[0], 0);
      ::dup2(from_child[1], 1);
      ::close(to_child[1]);
      ::close(from_child[0]);
      ::execl(program.c_str(), "hold_file", path.c_str(), static_cast<char *>(nullptr));
      ::_exit(127);
    }
    ::close(to_child[0]);
    ::close(from_child[1]);
    stdin_fd_ = to_child[1];
    char buffer[16] = {};
    ready_ =
        ::read(from_child[0], buffer, sizeof buffer - 1) > 0 && std::string(buffer) == "ready\n";
    ::close(from_child[0]);
  }
  ~HeldFile() { release(); }
  HeldFile(const HeldFile &) = delete;
  HeldFile &operator=(const HeldFile &) = delete;

  bool ready() const { return ready_; }
  int pid() const { return pid_; }
  /// Lets go of the file and waits until the holder has ended.
  void release() {
    if (stdin_fd_ < 0) return;
    ::close(stdin_fd_);
    stdin_fd_ = -1;
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }

 private:
  int pid_ = -1;
  int stdin_fd_ = -1;
  bool ready_ = false;
};

/// The resolved path of a program, as the holder lookup reports it.
inline std::string real_path_of(const std::string &path) {
  char buffer[4096];
  return ::realpath(path.c_str(), buffer) ? std::string(buffer) : path;
}

}  // namespace tarnwick::testing
