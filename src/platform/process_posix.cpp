#include <dirent.h>
#include <fcntl.h>
#include <fmt/format.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
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
#include <thread>

#include "platform/c_string.h"
#include "platform/children.h"
#include "platform/environment.h"
#include "platform/job_guard.h"
#include "platform/process.h"

namespace tarnwick::platform {
namespace {

std::string system_text(int err) {
  char buffer[256];
  // The GNU variant returns the text, which may not be in `buffer`.
  const char* text = ::strerror_r(err, buffer, sizeof buffer);
  return text ? text : "Unknown error";
}

/// Asks for a pipe buffer of a mebibyte on `fd`, so that a child writing a
/// long output and its reader take turns far less often. Nothing changes
/// when the system refuses.
void widen_pipe(int fd) {
  constexpr int kPipeBytes = 1 << 20;
  (void)::fcntl(fd, F_SETPIPE_SZ, kPipeBytes);
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

/// How reading one message of the guard went.
enum class Got { Message, Nothing, End };

Got read_guard_message(int fd, int (&message)[2]) {
  for (;;) {
    ssize_t n = ::read(fd, message, sizeof message);
    // The guard writes whole messages of a few bytes, which a pipe keeps whole.
    if (n == static_cast<ssize_t>(sizeof message)) return Got::Message;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) return Got::Nothing;
    return Got::End;
  }
}

/// Takes the guard's reports, waiting for each, until it closes its pipe
/// after the last process of the job is gone.
void take_reports_until_guard_ends(ChildProcess& child) {
  int message[2];
  while (child.exit_fd >= 0) {
    Got got = read_guard_message(child.exit_fd, message);
    if (got == Got::End) return;
    if (got == Got::Message) {
      if (message[0] == kGuardChildExit) child.exit_code = message[1];
      continue;
    }
    struct pollfd p {
      child.exit_fd, POLLIN, 0
    };
    ::poll(&p, 1, -1);
  }
}

void send_to_guard(int job_fd, char message) {
  // MSG_NOSIGNAL: a guard that is already gone must not raise SIGPIPE here.
  if (job_fd >= 0) (void)::send(job_fd, &message, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
}

/// The guard's first reports: whether the job could be made, then the
/// child's id. Returns the errno of a start that failed.
std::optional<int> take_start_reports(ChildProcess& child) {
  int message[2];
  while (read_guard_message(child.exit_fd, message) == Got::Message) {
    if (message[0] == kGuardNoJob) {
      child.in_job = false;
      child.job_error =
          message[1] ? io_error_from_errno(message[1]) : IoError{"no job was requested", 0};
    } else if (message[0] == kGuardChildPid) {
      child.pid = message[1];
      return std::nullopt;
    } else if (message[0] == kGuardForkFailed) {
      return message[1];
    }
  }
  return EAGAIN;  // the guard ended before it started the child
}

/// The errno the child reported before exec, if it reported one; the pipe
/// ends without a word when exec succeeds.
std::optional<int> take_exec_report(int report_fd) {
  for (;;) {
    int message[2];
    ssize_t n = ::read(report_fd, message, sizeof message);
    if (n < 0 && errno == EINTR) continue;
    if (n != static_cast<ssize_t>(sizeof message)) return std::nullopt;
    if (message[0] == kStartFailed) return message[1];
  }
}

}  // namespace

IoError io_error_from_errno(int err) {
  return IoError{fmt::format("{} (os error {})", system_text(err), err), err};
}

std::string signal_description(int signal) {
  const char* name = ::sigabbrev_np(signal);
  const char* words = ::sigdescr_np(signal);
  std::string text = name ? std::string("SIG") + name : "signal " + std::to_string(signal);
  if (words) text += std::string(": ") + words;
  return text;
}

void close_fd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

Result<ChildProcess> start_process(const ProcessCommand& command) {
  if (!fits_exec(command)) return io_error_from_errno(EINVAL);
  auto path = locate_program(command.program, search_path_for(command));
  if (!path) return path.error();

  // Everything the guard and the child need is built before the fork: after
  // it, the copy of a threaded process may not allocate.
  std::vector<std::string> arg_texts;
  arg_texts.push_back(command.program);
  arg_texts.insert(arg_texts.end(), command.args.begin(), command.args.end());
  std::vector<char*> argv;
  argv.reserve(arg_texts.size() + 1);
  for (auto& a : arg_texts) argv.push_back(a.data());
  argv.push_back(nullptr);

  std::vector<std::string> env_texts;
  std::vector<char*> envp;
  if (command.env) {
    for (const auto& [name, value] : *command.env) {
      std::string entry = name;
      entry += '=';
      entry += value;
      env_texts.push_back(std::move(entry));
    }
    for (auto& e : env_texts) envp.push_back(e.data());
    envp.push_back(nullptr);
  }

  int null_fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null_fd < 0) return io_error_from_errno(errno);
  int out_pipe[2] = {-1, -1}, err_pipe[2] = {-1, -1}, report[2] = {-1, -1};
  int control[2] = {-1, -1}, status[2] = {-1, -1};
  auto close_all = [&] {
    close_fd(null_fd);
    for (int* p : {out_pipe, err_pipe, report, control, status}) {
      close_fd(p[0]);
      close_fd(p[1]);
    }
  };
  auto fail = [&](int err) -> Result<ChildProcess> {
    close_all();
    return io_error_from_errno(err);
  };
  if (command.stdout_to.kind == Redirect::Kind::Pipe) {
    if (::pipe2(out_pipe, O_CLOEXEC) != 0) return fail(errno);
    widen_pipe(out_pipe[0]);
  }
  if (command.stderr_to.kind == Redirect::Kind::Pipe && ::pipe2(err_pipe, O_CLOEXEC) != 0)
    return fail(errno);
  if (::pipe2(report, O_CLOEXEC) != 0 || ::pipe2(status, O_CLOEXEC) != 0) return fail(errno);
  // A socket, not a pipe: writing to a guard that is gone then needs no
  // SIGPIPE handling.
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, control) != 0) return fail(errno);

  auto target_fd = [&](const Redirect& r, int pipe_write) {
    switch (r.kind) {
      case Redirect::Kind::Pipe:
        return pipe_write;
      case Redirect::Kind::Null:
        return null_fd;
      case Redirect::Kind::File:
        return r.fd;
      case Redirect::Kind::Stdout:
        break;  // resolved below, once standard output's target is known
    }
    return null_fd;
  };
  GuardPlan plan;
  plan.exec.path = path->c_str();
  plan.exec.argv = argv.data();
  plan.exec.envp = command.env ? envp.data() : ::environ;
  plan.exec.cwd = command.cwd ? command.cwd->c_str() : nullptr;
  plan.exec.null_fd = null_fd;
  plan.exec.out_fd = target_fd(command.stdout_to, out_pipe[1]);
  plan.exec.err_fd = command.stderr_to.kind == Redirect::Kind::Stdout
                         ? plan.exec.out_fd
                         : target_fd(command.stderr_to, err_pipe[1]);
  plan.exec.report_fd = report[1];
  plan.control_fd = control[1];
  plan.status_fd = status[1];
  plan.want_job = command.in_job;

  // Signals stay blocked across the fork so no handler of the server runs
  // in the guard before it has reset them.
  sigset_t all, old;
  sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &old);
  pid_t guard = ::fork();
  if (guard == 0) run_job_guard(plan);
  int fork_errno = errno;
  ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
  if (guard < 0) return fail(fork_errno);

  for (int* fd : {&report[1], &out_pipe[1], &err_pipe[1], &null_fd, &control[1], &status[1]})
    close_fd(*fd);
  ChildProcess child;
  child.guard_pid = guard;
  child.in_job = true;
  child.job_fd = control[0];
  child.exit_fd = status[0];
  child.stdout_fd = out_pipe[0];
  child.stderr_fd = err_pipe[0];
  track_job(child.job_fd);

  std::optional<int> start_errno = take_start_reports(child);
  if (!start_errno) start_errno = take_exec_report(report[0]);
  close_fd(report[0]);
  if (start_errno) {
    (void)end_job(child);
    close_descriptors(child);
    return io_error_from_errno(*start_errno);
  }
  ::fcntl(child.exit_fd, F_SETFL, ::fcntl(child.exit_fd, F_GETFL) | O_NONBLOCK);
  return child;
}

Result<std::optional<int>> poll_exit(ChildProcess& child) {
  if (child.exit_code) return child.exit_code;
  if (child.exit_fd < 0) return io_error_from_errno(ECHILD);
  int message[2];
  for (;;) {
    Got got = read_guard_message(child.exit_fd, message);
    if (got == Got::Nothing) return std::optional<int>();
    // A guard that ends without reporting the child's end was killed.
    if (got == Got::End) return io_error_from_errno(ECHILD);
    if (message[0] == kGuardChildExit) {
      child.exit_code = message[1];
      return child.exit_code;
    }
  }
}

Result<std::optional<int>> wait_exit_for(ChildProcess& child, Duration max_wait,
                                         const ReadStop* wake) {
  auto first = poll_exit(child);
  if (!first || first.value() || max_wait.is_zero()) return first;
  bool watch_wake = wake && wake->wake_fd_ >= 0;
  Deadline deadline = Deadline::after(max_wait);
  for (;;) {
    if (wake && wake->stopped_.load()) return poll_exit(child);
    Duration left = deadline.remaining();
    if (left.is_zero()) return poll_exit(child);
    // Slices of at most 50 ms keep a wait with a far deadline responsive.
    auto slice =
        std::min<std::chrono::nanoseconds>(left.to_chrono(), std::chrono::milliseconds(50));
    struct pollfd p[2] = {{child.exit_fd, POLLIN, 0},
                          {watch_wake ? wake->wake_fd_ : -1, POLLIN, 0}};
    ::poll(p, watch_wake ? 2 : 1,
           static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(slice).count()));
    auto now = poll_exit(child);
    if (!now || now.value()) return now;
  }
}

Result<int> end_job(ChildProcess& child) {
  if (!child.reaped) {
    untrack_job(child.job_fd);
    send_to_guard(child.job_fd, kKillJob);
    close_fd(child.job_fd);
    take_reports_until_guard_ends(child);
    if (child.guard_pid > 0) {
      int status = 0;
      while (::waitpid(child.guard_pid, &status, 0) < 0 && errno == EINTR) {
      }
    }
    child.reaped = true;
  }
  if (child.exit_code) return *child.exit_code;
  return io_error_from_errno(ECHILD);
}

void close_descriptors(ChildProcess& child) {
  close_fd(child.stdout_fd);
  close_fd(child.stderr_fd);
  close_fd(child.exit_fd);
}

ReadStop::ReadStop() : wake_fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

ReadStop::~ReadStop() { close_fd(wake_fd_); }

void ReadStop::stop() {
  stopped_.store(true);
  if (wake_fd_ >= 0) {
    uint64_t one = 1;
    (void)!::write(wake_fd_, &one, sizeof one);
  }
}

namespace {

long read_now(int fd, char* buffer, unsigned long size) {
  for (;;) {
    ssize_t n = ::read(fd, buffer, size);
    if (n >= 0 || errno != EINTR) return n;
  }
}

}  // namespace

long read_some(int fd, char* buffer, unsigned long size, const ReadStop* stop) {
  if (!stop) return read_now(fd, buffer, size);
  for (;;) {
    bool stopped = stop->stopped_.load();
    struct pollfd p[2] = {{fd, POLLIN, 0}, {stop->wake_fd_, POLLIN, 0}};
    // Once stopped only what is there now counts; without a wake descriptor
    // the flag is looked at every 50 ms.
    int timeout = stopped ? 0 : stop->wake_fd_ >= 0 ? -1 : 50;
    int ready = ::poll(p, stopped || stop->wake_fd_ < 0 ? 1 : 2, timeout);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return -1;
    if (p[0].revents) return read_now(fd, buffer, size);
    if (stopped) return 0;
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
