#include <dirent.h>
#include <fcntl.h>
#include <fmt/format.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <thread>

#include "platform/c_string.h"
#include "platform/children.h"
#include "platform/environment.h"
#include "platform/process.h"

namespace tarnwick::platform {
namespace {

/// Messages the child sends back through the error pipe before exec.
enum ChildReport : int { kGroupFailed = 1, kStartFailed = 2 };

std::string system_text(int err) {
  char buffer[256];
  // The GNU variant returns the text, which may not be in `buffer`.
  const char* text = ::strerror_r(err, buffer, sizeof buffer);
  return text ? text : "Unknown error";
}

bool is_executable_file(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

/// `path` made absolute against the server's own directory, so that a child
/// started in another directory runs the file that was found here.
std::string anchored(std::string path) {
  if (path.starts_with('/')) return path;
  auto here = current_directory();
  return here ? *here + "/" + path : path;
}

/// The program's path, looked up in `search_path` when it is a bare name, as
/// exec would do it with the child's environment. A relative result is
/// anchored at the server's directory, where it was checked.
Result<std::string> locate_program(const std::string& program, const std::string& search_path) {
  if (program.empty()) return io_error_from_errno(ENOENT);
  if (program.find('/') != std::string::npos) return anchored(program);
  bool denied = false;
  size_t start = 0;
  for (;;) {
    size_t end = search_path.find(':', start);
    std::string dir = search_path.substr(start, end == std::string::npos ? end : end - start);
    std::string candidate = (dir.empty() ? std::string(".") : dir) + "/" + program;
    if (is_executable_file(candidate)) return anchored(candidate);
    if (::access(candidate.c_str(), F_OK) == 0) denied = true;
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return io_error_from_errno(denied ? EACCES : ENOENT);
}

std::string search_path_for(const ProcessCommand& command) {
  if (command.env) {
    auto it = command.env->find("PATH");
    // Without PATH, exec's own default applies.
    return it != command.env->end() ? it->second : std::string("/bin:/usr/bin");
  }
  const char* path = ::getenv("PATH");
  return path ? path : "/bin:/usr/bin";
}

/// Whether every text of the command reaches exec as it was given.
bool fits_exec(const ProcessCommand& command) {
  if (!fits_c_string(command.program)) return false;
  if (command.cwd && !fits_c_string(*command.cwd)) return false;
  for (const auto& arg : command.args) {
    if (!fits_c_string(arg)) return false;
  }
  if (command.env) {
    for (const auto& [name, value] : *command.env) {
      if (!fits_c_string(name) || !fits_c_string(value)) return false;
    }
  }
  return true;
}

void write_report(int fd, int kind, int err) {
  int message[2] = {kind, err};
  const char* p = reinterpret_cast<const char*>(message);
  size_t left = sizeof message;
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    p += n;
    left -= static_cast<size_t>(n);
  }
}

/// Puts `from` on `to` in the child, keeping it open across exec.
bool move_fd(int from, int to) {
  if (from == to) return ::fcntl(to, F_SETFD, 0) == 0;
  return ::dup2(from, to) == to;
}

/// Runs in the forked child: only async-signal-safe calls from here on.
[[noreturn]] void exec_child(const char* path, char* const* argv, char* const* envp,
                             const char* cwd, int null_fd, int out_fd, int err_fd, int report_fd,
                             bool own_group, pid_t parent) {
  if (own_group && ::setpgid(0, 0) != 0) write_report(report_fd, kGroupFailed, errno);
  // Backstop: the child dies with the server even if no one kills it.
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::getppid() != parent) ::_exit(127);
  // Give the child default signal handling: ignored signals (SIGPIPE in the
  // server) would otherwise stay ignored across exec.
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  for (int sig = 1; sig < NSIG; ++sig) {
    if (sig != SIGKILL && sig != SIGSTOP) ::sigaction(sig, &dfl, nullptr);
  }
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);

  if (!move_fd(null_fd, STDIN_FILENO) || !move_fd(out_fd, STDOUT_FILENO) ||
      !move_fd(err_fd, STDERR_FILENO)) {
    write_report(report_fd, kStartFailed, errno);
    ::_exit(127);
  }
#ifdef SYS_close_range
  // Nothing else of the server's leaks into the child (CLOSE_RANGE_CLOEXEC = 4).
  ::syscall(SYS_close_range, 3u, ~0u, 4u);
#endif
  if (cwd && ::chdir(cwd) != 0) {
    write_report(report_fd, kStartFailed, errno);
    ::_exit(127);
  }
  ::execve(path, argv, envp);
  write_report(report_fd, kStartFailed, errno);
  ::_exit(127);
}

int exit_code_from(const siginfo_t& info) {
  if (info.si_code == CLD_EXITED) return info.si_status;
  return 128 + info.si_status;  // killed or dumped by a signal
}

int open_pidfd(pid_t pid) {
#ifdef SYS_pidfd_open
  long fd = ::syscall(SYS_pidfd_open, pid, 0);
  if (fd >= 0) {
    ::fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
    return static_cast<int>(fd);
  }
#endif
  (void)pid;
  return -1;
}

/// Every process's parent, read from /proc/<pid>/stat.
std::multimap<int, int> children_by_parent() {
  std::multimap<int, int> children;
  DIR* dir = ::opendir("/proc");
  if (!dir) return children;
  while (struct dirent* entry = ::readdir(dir)) {
    char* end = nullptr;
    long pid = std::strtol(entry->d_name, &end, 10);
    if (pid <= 0 || *end != '\0') continue;
    std::string path = fmt::format("/proc/{}/stat", pid);
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    char buffer[512];
    ssize_t n = ::read(fd, buffer, sizeof buffer - 1);
    ::close(fd);
    if (n <= 0) continue;
    buffer[n] = '\0';
    // "pid (comm) state ppid ...": comm may hold spaces and parentheses.
    char* close_paren = std::strrchr(buffer, ')');
    if (!close_paren) continue;
    char state = 0;
    int ppid = 0;
    if (std::sscanf(close_paren + 1, " %c %d", &state, &ppid) != 2) continue;
    children.emplace(ppid, static_cast<int>(pid));
  }
  ::closedir(dir);
  return children;
}

}  // namespace

IoError io_error_from_errno(int err) {
  return IoError{fmt::format("{} (os error {})", system_text(err), err), err};
}

void close_fd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

Result<ChildProcess> start_process(const ProcessCommand& command) {
  if (!fits_exec(command)) return io_error_from_errno(EINVAL);
  auto path = locate_program(command.program, search_path_for(command));
  if (!path) return path.error();

  // Everything the child needs is built before the fork: after it, the child
  // of a threaded process may not allocate.
  std::vector<std::string> arg_texts;
  arg_texts.push_back(command.program);
  arg_texts.insert(arg_texts.end(), command.args.begin(), command.args.end());
  std::vector<char*> argv;
  for (auto& a : arg_texts) argv.push_back(a.data());
  argv.push_back(nullptr);

  std::vector<std::string> env_texts;
  std::vector<char*> envp;
  if (command.env) {
    for (const auto& [name, value] : *command.env) env_texts.push_back(name + "=" + value);
    for (auto& e : env_texts) envp.push_back(e.data());
    envp.push_back(nullptr);
  }
  char* const* child_env = command.env ? envp.data() : ::environ;

  int null_fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null_fd < 0) return io_error_from_errno(errno);
  int out_pipe[2] = {-1, -1}, err_pipe[2] = {-1, -1}, report[2] = {-1, -1};
  auto close_all = [&] {
    close_fd(null_fd);
    for (int* p : {out_pipe, err_pipe, report}) {
      close_fd(p[0]);
      close_fd(p[1]);
    }
  };
  auto fail = [&](int err) -> Result<ChildProcess> {
    close_all();
    return io_error_from_errno(err);
  };
  if (command.stdout_to.kind == Redirect::Kind::Pipe && ::pipe2(out_pipe, O_CLOEXEC) != 0)
    return fail(errno);
  if (command.stderr_to.kind == Redirect::Kind::Pipe && ::pipe2(err_pipe, O_CLOEXEC) != 0)
    return fail(errno);
  if (::pipe2(report, O_CLOEXEC) != 0) return fail(errno);

  auto target_fd = [&](const Redirect& r, int pipe_write) {
    switch (r.kind) {
      case Redirect::Kind::Pipe:
        return pipe_write;
      case Redirect::Kind::Null:
        return null_fd;
      case Redirect::Kind::File:
        return r.fd;
    }
    return null_fd;
  };
  int out_fd = target_fd(command.stdout_to, out_pipe[1]);
  int err_fd = target_fd(command.stderr_to, err_pipe[1]);
  const char* cwd = command.cwd ? command.cwd->c_str() : nullptr;
  pid_t parent = ::getpid();

  // Signals stay blocked across the fork so no handler of the server runs
  // in the child before it has reset them.
  sigset_t all, old;
  sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &old);
  pid_t pid = ::fork();
  if (pid == 0) {
    exec_child(path->c_str(), argv.data(), child_env, cwd, null_fd, out_fd, err_fd, report[1],
               command.own_group, parent);
  }
  int fork_errno = errno;
  ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
  if (pid < 0) return fail(fork_errno);

  close_fd(report[1]);
  close_fd(out_pipe[1]);
  close_fd(err_pipe[1]);
  close_fd(null_fd);

  ChildProcess child;
  child.pid = pid;
  std::optional<int> group_errno;
  std::optional<int> start_errno;
  for (;;) {
    int message[2];
    ssize_t n = ::read(report[0], message, sizeof message);
    if (n < 0 && errno == EINTR) continue;
    if (n != static_cast<ssize_t>(sizeof message)) break;  // exec closed the pipe
    if (message[0] == kGroupFailed) group_errno = message[1];
    if (message[0] == kStartFailed) start_errno = message[1];
  }
  close_fd(report[0]);

  if (start_errno) {
    close_fd(out_pipe[0]);
    close_fd(err_pipe[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return io_error_from_errno(*start_errno);
  }
  if (command.own_group && !group_errno) {
    child.group = pid;
  } else if (command.own_group) {
    child.group_error = io_error_from_errno(*group_errno);
  } else {
    child.group_error = IoError{"no process group was requested", 0};
  }
  child.stdout_fd = out_pipe[0];
  child.stderr_fd = err_pipe[0];
  child.exit_fd = open_pidfd(pid);
  track_child(pid, child.group > 0);
  return child;
}

Result<std::optional<int>> poll_exit(ChildProcess& child) {
  if (child.exit_code) return child.exit_code;
  if (child.pid <= 0) return io_error_from_errno(ECHILD);
  siginfo_t info{};
  for (;;) {
    int rc = ::waitid(P_PID, static_cast<id_t>(child.pid), &info, WEXITED | WNOHANG | WNOWAIT);
    if (rc == 0) break;
    if (errno == EINTR) continue;
    return io_error_from_errno(errno);
  }
  if (info.si_pid == 0) return std::optional<int>();
  child.exit_code = exit_code_from(info);
  return child.exit_code;
}

Result<std::optional<int>> wait_exit_for(ChildProcess& child, Duration max_wait) {
  auto first = poll_exit(child);
  if (!first || first.value() || max_wait.is_zero()) return first;
  Deadline deadline = Deadline::after(max_wait);
  for (;;) {
    Duration left = deadline.remaining();
    if (left.is_zero()) return poll_exit(child);
    // Slices of at most 50 ms keep the wait short even without a pidfd.
    auto slice =
        std::min<std::chrono::nanoseconds>(left.to_chrono(), std::chrono::milliseconds(50));
    if (child.exit_fd >= 0) {
      struct pollfd p {
        child.exit_fd, POLLIN, 0
      };
      int ms = static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(slice).count());
      ::poll(&p, 1, ms);
    } else {
      std::this_thread::sleep_for(
          std::min<std::chrono::nanoseconds>(slice, std::chrono::milliseconds(5)));
    }
    auto now = poll_exit(child);
    if (!now || now.value()) return now;
  }
}

void kill_group(ChildProcess& child) {
  // The leader is not reaped yet, so the group id cannot have been reused.
  if (child.group > 0 && !child.reaped) ::kill(-child.group, SIGKILL);
}

void kill_child(ChildProcess& child) {
  if (child.pid > 0 && !child.reaped) ::kill(child.pid, SIGKILL);
}

void kill_descendants_and_self(int pid) {
  if (pid <= 0) return;
  // Stop the tree first so nobody forks or is re-parented while it is
  // collected; then kill every member.
  std::set<int> tree{pid};
  ::kill(pid, SIGSTOP);
  for (int pass = 0; pass < 16; ++pass) {
    auto children = children_by_parent();
    size_t before = tree.size();
    std::vector<int> frontier(tree.begin(), tree.end());
    while (!frontier.empty()) {
      int parent = frontier.back();
      frontier.pop_back();
      auto [lo, hi] = children.equal_range(parent);
      for (auto it = lo; it != hi; ++it) {
        if (tree.insert(it->second).second) {
          ::kill(it->second, SIGSTOP);
          frontier.push_back(it->second);
        }
      }
    }
    if (tree.size() == before) break;
  }
  for (int member : tree) ::kill(member, SIGKILL);
}

Result<int> reap(ChildProcess& child) {
  if (child.reaped) return child.exit_code.value_or(-1);
  if (child.pid <= 0) return io_error_from_errno(ECHILD);
  untrack_child(child.pid);
  int status = 0;
  for (;;) {
    if (::waitpid(child.pid, &status, 0) >= 0) break;
    if (errno == EINTR) continue;
    return io_error_from_errno(errno);
  }
  child.reaped = true;
  if (!child.exit_code) {
    child.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  return *child.exit_code;
}

void close_descriptors(ChildProcess& child) {
  close_fd(child.stdout_fd);
  close_fd(child.stderr_fd);
  close_fd(child.exit_fd);
}

long read_some(int fd, char* buffer, unsigned long size) {
  for (;;) {
    ssize_t n = ::read(fd, buffer, size);
    if (n >= 0 || errno != EINTR) return n;
  }
}

bool process_alive(int pid) {
  if (pid <= 0) return false;
  if (::kill(pid, 0) != 0 && errno == ESRCH) return false;
  // A zombie has ended; only its parent's reaping is missing.
  std::string path = fmt::format("/proc/{}/stat", pid);
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char buffer[512];
  ssize_t n = ::read(fd, buffer, sizeof buffer - 1);
  ::close(fd);
  if (n <= 0) return false;
  buffer[n] = '\0';
  char* close_paren = std::strrchr(buffer, ')');
  if (!close_paren) return true;
  char state = 0;
  if (std::sscanf(close_paren + 1, " %c", &state) != 1) return true;
  return state != 'Z' && state != 'X';
}

}  // namespace tarnwick::platform
