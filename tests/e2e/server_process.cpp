#include "server_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "server/startup.h"

extern char** environ;

namespace tarnwick::e2e {
namespace {

using Clock = std::chrono::steady_clock;

void close_fd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

std::vector<std::string> child_environment(const ServerOptions& options) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) env.emplace_back(*e);
  for (const auto& [name, value] : options.env) {
    const std::string prefix = name + "=";
    std::erase_if(env, [&prefix](const std::string& entry) { return entry.starts_with(prefix); });
    if (value) env.push_back(name + "=" + *value);
  }
  return env;
}

std::vector<char*> c_strings(std::vector<std::string>& texts) {
  std::vector<char*> out;
  for (std::string& text : texts) out.push_back(text.data());
  out.push_back(nullptr);
  return out;
}

/// Milliseconds left until `deadline`, for poll().
int remaining_ms(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

/// Waits for `fd` to be readable until `deadline`; false on timeout.
bool wait_readable(int fd, Clock::time_point deadline) {
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    int rc = ::poll(&p, 1, remaining_ms(deadline));
    if (rc > 0) return true;
    if (rc == 0) return false;
    if (errno != EINTR) return false;
  }
}

}  // namespace

ServerProcess::ServerProcess(ServerOptions options) : options_(std::move(options)) {
  // A child that has gone must not take the test down with a broken pipe.
  ::signal(SIGPIPE, SIG_IGN);
  int in[2], out[2], err[2];
  if (::pipe2(in, O_CLOEXEC) != 0) return;
  if (::pipe2(out, O_CLOEXEC) != 0) return;
  if (::pipe2(err, O_CLOEXEC) != 0) return;
  std::vector<std::string> argv_texts{options_.executable};
  argv_texts.insert(argv_texts.end(), options_.args.begin(), options_.args.end());
  std::vector<std::string> env_texts = child_environment(options_);
  std::vector<char*> argv = c_strings(argv_texts);
  std::vector<char*> envp = c_strings(env_texts);
  const char* dir = options_.working_dir.empty() ? nullptr : options_.working_dir.c_str();

  pid_t pid = ::fork();
  if (pid == 0) {
    // Only async-signal-safe calls between fork and exec.
    ::dup2(in[0], STDIN_FILENO);
    ::dup2(out[1], STDOUT_FILENO);
    ::dup2(err[1], STDERR_FILENO);
    if (dir && ::chdir(dir) != 0) ::_exit(127);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  stdin_fd_ = in[1];
  stdout_fd_ = out[0];
  stderr_fd_ = err[0];
  if (pid < 0) {
    close_fd(stdin_fd_);
    close_fd(stdout_fd_);
    close_fd(stderr_fd_);
    return;
  }
  pid_ = pid;
}

namespace {
ServerOptions options_with_args(std::vector<std::string> args) {
  ServerOptions options;
  options.args = std::move(args);
  return options;
}
}  // namespace

ServerProcess::ServerProcess(std::vector<std::string> args)
    : ServerProcess(options_with_args(std::move(args))) {}

ServerProcess::~ServerProcess() {
  close_fd(stdin_fd_);
  close_fd(stdout_fd_);
  close_fd(stderr_fd_);
  if (pid_ > 0 && !exit_code_) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }
}

bool ServerProcess::write_raw(std::string_view bytes) {
  while (!bytes.empty()) {
    if (stdin_fd_ < 0) return false;
    ssize_t n = ::write(stdin_fd_, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

bool ServerProcess::write_line(std::string_view line) {
  return write_raw(std::string(line) + "\n");
}

void ServerProcess::close_stdin() { close_fd(stdin_fd_); }

void ServerProcess::close_stdout() { close_fd(stdout_fd_); }

bool ServerProcess::output_full() const {
  // The child's own end, opened anew, tells what a write there would meet.
  int fd = ::open(("/proc/" + std::to_string(pid_) + "/fd/1").c_str(),
                  O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  pollfd out{fd, POLLOUT, 0};
  bool full = ::poll(&out, 1, 0) == 0;
  ::close(fd);
  return full;
}

std::optional<std::string> ServerProcess::read_line(milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    if (size_t nl = pending_.find('\n'); nl != std::string::npos) {
      std::string line = pending_.substr(0, nl);
      pending_.erase(0, nl + 1);
      return line;
    }
    if (stdout_ended_ || stdout_fd_ < 0) {
      if (pending_.empty()) return std::nullopt;
      return std::exchange(pending_, {});
    }
    if (!wait_readable(stdout_fd_, deadline)) return std::nullopt;
    char buffer[65536];
    ssize_t n = ::read(stdout_fd_, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      stdout_ended_ = true;
      continue;
    }
    pending_.append(buffer, static_cast<size_t>(n));
  }
}

std::optional<json> ServerProcess::read_json(milliseconds timeout) {
  std::optional<std::string> line = read_line(timeout);
  if (!line) return std::nullopt;
  json value = json::parse(*line, nullptr, /*allow_exceptions=*/false);
  if (value.is_discarded()) return std::nullopt;
  return value;
}

std::optional<json> ServerProcess::read_response(milliseconds timeout, std::vector<json>* skipped) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
    std::optional<json> message = read_json(left < milliseconds(0) ? milliseconds(0) : left);
    if (!message) return std::nullopt;
    if (!message->is_object() || !message->contains("method")) return message;
    if (skipped) skipped->push_back(std::move(*message));
  }
}

std::vector<json> ServerProcess::skip_startup_lines(milliseconds timeout) {
  const ServerSettings settings = parse_options(options_.args);
  const size_t count = startup_lines(settings, 0).size() + settings.warnings.size();
  const auto deadline = Clock::now() + timeout;
  std::vector<json> lines;
  while (lines.size() < count) {
    auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
    std::optional<json> line = read_json(left < milliseconds(0) ? milliseconds(0) : left);
    if (!line) break;
    lines.push_back(std::move(*line));
  }
  return lines;
}

std::optional<std::string> ServerProcess::read_stderr(milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  std::string text;
  while (stderr_fd_ >= 0) {
    if (!wait_readable(stderr_fd_, deadline)) return std::nullopt;
    char buffer[4096];
    ssize_t n = ::read(stderr_fd_, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  return text;
}

std::optional<int> ServerProcess::wait_exit(milliseconds timeout) {
  if (exit_code_ || pid_ <= 0) return exit_code_;
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    int status = 0;
    pid_t rc = ::waitpid(pid_, &status, WNOHANG);
    if (rc == pid_) {
      exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      return exit_code_;
    }
    if (rc < 0 && errno != EINTR) return std::nullopt;
    if (Clock::now() >= deadline) return std::nullopt;
    // The child's end has no descriptor to wait on here; poll briefly.
    std::this_thread::sleep_for(milliseconds(2));
  }
}

}  // namespace tarnwick::e2e
