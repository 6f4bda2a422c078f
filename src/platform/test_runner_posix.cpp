#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/runner_messages.h"
#include "platform/test_runner.h"

extern char** environ;

namespace tarnwick::platform {
namespace {

/// What the runner ends with when it cannot do its part (cargo then reports
/// the binary failed, as libtest's own failure code would).
constexpr int kRunnerFailed = 101;
/// What it ends with when the binary could not be started, as a shell does.
constexpr int kNotStarted = 127;

int complain(const char* what, int err) {
  std::fprintf(stderr, "tarnwick-test-runner: %s: %s\n", what, std::strerror(err));
  return kRunnerFailed;
}

/// Connects to the server's channel; "@name" is an abstract socket name.
int connect_channel(std::string_view address) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (!address.starts_with('@') || address.size() > sizeof addr.sun_path) {
    errno = EINVAL;
    return -1;
  }
  std::memcpy(addr.sun_path + 1, address.data() + 1, address.size() - 1);
  auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + address.size());
  int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int rc;
  do {
    rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), length);
  } while (rc < 0 && errno == EINTR);
  if (rc < 0) {
    int err = errno;
    ::close(fd);
    errno = err;
    return -1;
  }
  return fd;
}

bool send_fields(int fd, const std::vector<std::string>& fields) {
  std::string message = encode_fields(fields);
  ssize_t sent;
  do {
    sent = ::send(fd, message.data(), message.size(), MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  return sent == static_cast<ssize_t>(message.size());
}

/// The server's answer and, with "run", the two output descriptors (closed
/// on exec, so that only the copies made for the binary reach it).
struct Reply {
  std::vector<std::string> fields;
  int out = -1;
  int err = -1;
};

bool receive_reply(int fd, Reply& reply) {
  // Left unfilled: only the pages the reply reaches are ever touched.
  std::unique_ptr<char[]> buffer = std::make_unique_for_overwrite<char[]>(kMaxRunnerMessage);
  iovec io{buffer.get(), kMaxRunnerMessage};
  alignas(cmsghdr) char control[CMSG_SPACE(2 * sizeof(int))];
  msghdr message{};
  message.msg_iov = &io;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  ssize_t got;
  do {
    got = ::recvmsg(fd, &message, MSG_CMSG_CLOEXEC);
  } while (got < 0 && errno == EINTR);
  if (got <= 0) {
    if (got == 0) errno = ECONNRESET;
    return false;
  }
  for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
    int fds[2];
    if (c->cmsg_len != CMSG_LEN(sizeof fds)) continue;
    std::memcpy(fds, CMSG_DATA(c), sizeof fds);
    reply.out = fds[0];
    reply.err = fds[1];
  }
  reply.fields = decode_fields(std::string_view(buffer.get(), static_cast<size_t>(got)));
  return !reply.fields.empty();
}

/// Sets or unsets the variables the server names, as the user had them.
void restore_variables(const std::vector<std::string>& fields, size_t& at) {
  size_t count = at < fields.size() ? std::strtoul(fields[at].c_str(), nullptr, 10) : 0;
  ++at;
  for (size_t i = 0; i < count && at + 1 < fields.size(); ++i, at += 2) {
    const std::string& name = fields[at];
    const std::string& value = fields[at + 1];
    if (value.starts_with('='))
      ::setenv(name.c_str(), value.c_str() + 1, 1);
    else
      ::unsetenv(name.c_str());
  }
}

/// Starts the binary with the two descriptors as its standard output and
/// error; returns its process id, or -1 with `err` set. posix_spawn reports
/// a failed exec itself and copies no memory of ours.
pid_t start_binary(const Reply& reply, std::vector<char*>& argv, int& err) {
  posix_spawn_file_actions_t actions;
  if ((err = posix_spawn_file_actions_init(&actions)) != 0) return -1;
  // dup2 onto the standard descriptors clears their close-on-exec flag.
  if ((err = posix_spawn_file_actions_adddup2(&actions, reply.out, STDOUT_FILENO)) == 0)
    err = posix_spawn_file_actions_adddup2(&actions, reply.err, STDERR_FILENO);
  pid_t pid = -1;
  if (err == 0) {
    err = std::strchr(argv[0], '/')
              ? posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ)
              : posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  }
  posix_spawn_file_actions_destroy(&actions);
  return err == 0 ? pid : -1;
}

int wait_for(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return status;
}

/// Ends the runner as the binary ended: the same code, or the same signal
/// (without a core dump of the runner's own).
int end_like(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (!WIFSIGNALED(status)) return kRunnerFailed;
  int sig = WTERMSIG(status);
  rlimit no_core{0, 0};
  ::setrlimit(RLIMIT_CORE, &no_core);
  ::signal(sig, SIG_DFL);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, sig);
  ::sigprocmask(SIG_UNBLOCK, &only, nullptr);
  ::raise(sig);
  return 128 + sig;  // a signal that does not end a process
}

std::string current_dir() {
  std::string dir(4096, '\0');
  if (!::getcwd(dir.data(), dir.size())) return "";
  dir.resize(std::strlen(dir.c_str()));
  return dir;
}

}  // namespace

int run_test_runner(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "tarnwick-test-runner: started without a test binary\n");
    return kRunnerFailed;
  }
  // Not a binary of this run: it passes unstarted, as the server would say.
  if (const char* skips = std::getenv(std::string(kSkipsVariable).c_str());
      skips && skips_list(skips, argv[4]))
    return 0;
  int channel = connect_channel(argv[2]);
  if (channel < 0) return complain("cannot reach the tarnwick server", errno);
  std::vector<std::string> hello{std::string(kHello), argv[3], current_dir(),
                                 variable_field(std::getenv("RUST_TEST_THREADS"))};
  for (int i = 4; i < argc; ++i) hello.emplace_back(argv[i]);
  Reply reply;
  if (!send_fields(channel, hello) || !receive_reply(channel, reply))
    return complain("lost the tarnwick server", errno);
  if (reply.fields[0] == kSkip) return 0;  // not a binary of this run: it passes unstarted
  if (reply.fields[0] != kRun || reply.out < 0 || reply.err < 0)
    return complain("the tarnwick server's answer is incomplete", EPROTO);

  size_t at = 1;
  restore_variables(reply.fields, at);
  std::vector<std::string> command(reply.fields.begin() + static_cast<std::ptrdiff_t>(at),
                                   reply.fields.end());
  for (int i = 4; i < argc; ++i) command.emplace_back(argv[i]);
  std::vector<char*> exec_argv;
  exec_argv.reserve(command.size() + 1);
  for (std::string& arg : command) exec_argv.push_back(arg.data());
  exec_argv.push_back(nullptr);

  int err = 0;
  pid_t pid = start_binary(reply, exec_argv, err);
  ::close(reply.out);
  ::close(reply.err);
  if (pid < 0) {
    send_fields(channel, {std::string(kUnstarted), std::strerror(err)});
    std::fprintf(stderr, "tarnwick-test-runner: could not start %s: %s\n", exec_argv[0],
                 std::strerror(err));
    return kNotStarted;
  }
  send_fields(channel, {std::string(kStarted), std::to_string(pid)});
  int status = wait_for(pid);
  if (status < 0) return complain("lost the test binary", errno);
  if (WIFSIGNALED(status))
    send_fields(channel, {std::string(kSignalled), std::to_string(WTERMSIG(status))});
  else
    send_fields(channel, {std::string(kExited), std::to_string(WEXITSTATUS(status))});
  ::close(channel);
  return end_like(status);
}

}  // namespace tarnwick::platform
