#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <initializer_list>

#include "platform/job_guard.h"

namespace tarnwick::platform {
namespace {

void write_message(int fd, int kind, int value) {
  int message[2] = {kind, value};
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

/// Puts `from` on `to`, keeping it open across exec.
bool move_fd(int from, int to) {
  if (from == to) return ::fcntl(to, F_SETFD, 0) == 0;
  return ::dup2(from, to) == to;
}

void reset_signals(const sigset_t& mask) {
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  for (int sig = 1; sig < NSIG; ++sig) {
    if (sig != SIGKILL && sig != SIGSTOP) ::sigaction(sig, &dfl, nullptr);
  }
  ::sigprocmask(SIG_SETMASK, &mask, nullptr);
}

/// Runs in the program's process: only async-signal-safe calls.
[[noreturn]] void exec_program(const ExecPlan& plan, pid_t guard) {
  // Backstop: the program dies with its guard even if no one kills it.
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::getppid() != guard) ::_exit(127);
  // Default signal handling and an empty mask: what the server ignores or
  // blocks (SIGPIPE, SIGCHLD) would otherwise stay so across exec.
  sigset_t none;
  sigemptyset(&none);
  reset_signals(none);
  if (!move_fd(plan.null_fd, STDIN_FILENO) || !move_fd(plan.out_fd, STDOUT_FILENO) ||
      !move_fd(plan.err_fd, STDERR_FILENO)) {
    write_message(plan.report_fd, kStartFailed, errno);
    ::_exit(127);
  }
#ifdef SYS_close_range
  // Nothing else of the server's leaks into the program (CLOSE_RANGE_CLOEXEC = 4).
  ::syscall(SYS_close_range, 3u, ~0u, 4u);
#endif
  if (plan.cwd && ::chdir(plan.cwd) != 0) {
    write_message(plan.report_fd, kStartFailed, errno);
    ::_exit(127);
  }
  ::execve(plan.path, plan.argv, plan.envp);
  write_message(plan.report_fd, kStartFailed, errno);
  ::_exit(127);
}

/// The descriptors the guard keeps; every other one inherited from the
/// server is closed, above all the control sockets of other guards, whose
/// end would otherwise never come.
struct KeptFds {
  int fds[6];
  int count = 0;
  bool has(int fd) const {
    for (int i = 0; i < count; ++i)
      if (fds[i] == fd) return true;
    return false;
  }
};

int parse_decimal(const char* text) {
  if (*text == '\0') return -1;
  long value = 0;
  for (const char* p = text; *p; ++p) {
    if (*p < '0' || *p > '9' || value > 0x3fffffff) return -1;
    value = value * 10 + (*p - '0');
  }
  return static_cast<int>(value);
}

struct DirEntry64 {
  uint64_t ino;
  int64_t off;
  unsigned short reclen;
  unsigned char type;
  char name[1];
};

/// Calls `visit` with the number of each entry of the /proc directory `dir`
/// whose name is a decimal number.
template <typename Visit>
bool for_each_numbered_entry(const char* dir, Visit visit) {
  int fd = ::open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  alignas(8) char buffer[4096];
  for (;;) {
    long n = ::syscall(SYS_getdents64, fd, buffer, sizeof buffer);
    if (n <= 0) break;
    for (long at = 0; at < n;) {
      auto* entry = reinterpret_cast<DirEntry64*>(buffer + at);
      at += entry->reclen;
      int number = parse_decimal(entry->name);
      if (number >= 0 && number != fd) visit(number);
    }
  }
  ::close(fd);
  return true;
}

void close_inherited_fds(const KeptFds& kept) {
  bool listed = for_each_numbered_entry("/proc/self/fd", [&](int fd) {
    if (fd > STDERR_FILENO && !kept.has(fd)) ::close(fd);
  });
  if (listed) return;
  struct rlimit limit {};
  int top = 65536;
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < 65536)
    top = static_cast<int>(limit.rlim_cur);
  for (int fd = STDERR_FILENO + 1; fd < top; ++fd)
    if (!kept.has(fd)) ::close(fd);
}

/// The guard holds none of the server's standard streams, so a client that
/// waits for the server's output to end is not kept waiting by a guard.
void detach_standard_streams(const KeptFds& kept, int null_fd) {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd)
    if (!kept.has(fd)) ::dup2(null_fd, fd);
}

struct GuardState {
  pid_t self = 0;
  pid_t child = 0;
  bool child_reaped = false;
  int status_fd = -1;
  int sigchld_fd = -1;
  bool subreaper = false;  // orphans below the guard come back to it
};

int exit_code_of(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + WTERMSIG(status);
}

/// Reaps every ended process below the guard: the child, whose end the
/// server hears of, and orphans that were handed to the guard.
void reap_ended(GuardState& state) {
  for (;;) {
    int status = 0;
    pid_t pid = ::waitpid(-1, &status, WNOHANG | __WALL);
    if (pid < 0 && errno == EINTR) continue;
    if (pid <= 0) return;
    if (pid == state.child && !state.child_reaped) {
      state.child_reaped = true;
      write_message(state.status_fd, kGuardChildExit, exit_code_of(status));
    }
  }
}

/// Waits up to `ms` for some process below the guard to end.
void wait_for_an_end(const GuardState& state, int ms) {
  struct pollfd p {
    state.sigchld_fd, POLLIN, 0
  };
  ::poll(&p, state.sigchld_fd >= 0 ? 1 : 0, ms);
  signalfd_siginfo info;
  while (state.sigchld_fd >= 0 && ::read(state.sigchld_fd, &info, sizeof info) > 0) {
  }
}

/// Waits for the child's end, reaping on the way, until the server asks
/// for the job's end or is gone.
void watch(GuardState& state, int control_fd) {
  for (;;) {
    reap_ended(state);
    struct pollfd p[2] = {{control_fd, POLLIN, 0}, {state.sigchld_fd, POLLIN, 0}};
    // Without a signal descriptor the guard looks for ended processes
    // every 20 ms instead.
    int ready = ::poll(p, state.sigchld_fd >= 0 ? 2 : 1, state.sigchld_fd >= 0 ? -1 : 20);
    if (ready < 0 && errno != EINTR) return;
    if (p[1].revents) wait_for_an_end(state, 0);
    if (p[0].revents == 0) continue;
    char message = 0;
    ssize_t n = ::read(control_fd, &message, 1);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0 || message == kKillJob) return;
  }
}

/// One process of the table that the kill pass reads from /proc.
struct ProcEntry {
  int pid;
  int ppid;
  int mark;  // 0 not known yet, 1 below the guard, 2 not below it
};

int read_parent(int proc_fd, int pid) {
  char path[32];
  int len = 0;
  char digits[12];
  int d = 0;
  for (int v = pid; v > 0 && d < 11; v /= 10) digits[d++] = static_cast<char>('0' + v % 10);
  while (d > 0) path[len++] = digits[--d];
  for (const char* s = "/stat"; *s; ++s) path[len++] = *s;
  path[len] = '\0';
  int fd = ::openat(proc_fd, path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  char text[512];
  ssize_t n = ::read(fd, text, sizeof text - 1);
  ::close(fd);
  if (n <= 0) return -1;
  // "pid (comm) state ppid ...": the name may hold blanks and parentheses.
  int close_paren = -1;
  for (ssize_t i = 0; i < n; ++i)
    if (text[i] == ')') close_paren = static_cast<int>(i);
  if (close_paren < 0 || close_paren + 4 >= n) return -1;
  int at = close_paren + 4;  // past ") S "
  int ppid = 0;
  for (; at < n && text[at] >= '0' && text[at] <= '9'; ++at) ppid = ppid * 10 + (text[at] - '0');
  return ppid;
}

int find_entry(const ProcEntry* table, int count, int pid) {
  int lo = 0, hi = count - 1;
  while (lo <= hi) {
    int mid = lo + (hi - lo) / 2;
    if (table[mid].pid == pid) return mid;
    if (table[mid].pid < pid)
      lo = mid + 1;
    else
      hi = mid - 1;
  }
  return -1;
}

void sort_by_pid(ProcEntry* table, int count) {
  // Insertion sort: /proc lists processes in ascending order, so this is
  // a single pass in practice.
  for (int i = 1; i < count; ++i) {
    ProcEntry entry = table[i];
    int j = i - 1;
    while (j >= 0 && table[j].pid > entry.pid) {
      table[j + 1] = table[j];
      --j;
    }
    table[j + 1] = entry;
  }
}

/// Whether the process at `index` descends from the guard, by its parent
/// links; remembers the answer for every process on the way.
bool below_guard(ProcEntry* table, int count, int index, pid_t guard) {
  int path[128];
  int length = 0;
  int answer = 2;
  for (int at = index;;) {
    if (table[at].mark != 0) {
      answer = table[at].mark;
      break;
    }
    path[length++] = at;
    if (table[at].ppid == guard) {
      answer = 1;
      break;
    }
    int parent = find_entry(table, count, table[at].ppid);
    if (parent < 0 || length == 128) break;
    at = parent;
  }
  for (int i = 0; i < length; ++i) table[path[i]].mark = answer;
  return answer == 1;
}

constexpr int kTableEntries = 1 << 20;

/// Sends SIGKILL to every process below the guard, whatever process group
/// or session it is in. False when /proc cannot be read.
bool kill_descendants(const GuardState& state, ProcEntry* table) {
  int proc_fd = ::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (proc_fd < 0) return false;
  int count = 0;
  for_each_numbered_entry("/proc", [&](int pid) {
    if (count >= kTableEntries || pid == state.self) return;
    int ppid = read_parent(proc_fd, pid);
    if (ppid >= 0) table[count++] = ProcEntry{pid, ppid, 0};
  });
  ::close(proc_fd);
  sort_by_pid(table, count);
  for (int i = 0; i < count; ++i)
    if (below_guard(table, count, i, state.self)) ::kill(table[i].pid, SIGKILL);
  return true;
}

bool has_children() {
  siginfo_t info{};
  for (;;) {
    int rc = ::waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT | __WALL);
    if (rc == 0) return true;
    if (errno != EINTR) return false;  // ECHILD: nobody is left
  }
}

/// Kills the whole tree and reaps it. Ends when the guard has no child
/// left: every process below it is then gone, since an orphan comes back
/// to the guard as its child.
void end_tree(GuardState& state) {
  // As the subreaper, the guard is an ancestor of every process below it
  // that still lives: with no child left there is nothing to look for.
  reap_ended(state);
  if (state.subreaper && !has_children()) return;
  void* memory = ::mmap(nullptr, sizeof(ProcEntry) * kTableEntries, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  auto* table = memory == MAP_FAILED ? nullptr : static_cast<ProcEntry*>(memory);
  for (;;) {
    bool scanned = table && kill_descendants(state, table);
    if (!scanned && !state.child_reaped) ::kill(state.child, SIGKILL);
    reap_ended(state);
    if (!has_children()) return;
    // Without the table the orphans cannot be found; the guard does not
    // wait for them.
    if (!scanned && state.child_reaped) return;
    wait_for_an_end(state, 10);
  }
}

}  // namespace

void run_job_guard(const GuardPlan& plan) {
  // The server's signals were blocked around the fork. The guard ignores the
  // signals a terminal or a client sends to the server's whole group: it
  // ends when the server is gone, and only then kills the tree.
  sigset_t only_chld;
  sigemptyset(&only_chld);
  sigaddset(&only_chld, SIGCHLD);
  reset_signals(only_chld);
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  for (int sig :
       {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGTSTP, SIGTTIN, SIGTTOU, SIGUSR1, SIGUSR2})
    ::sigaction(sig, &ignore, nullptr);
  ::setpgid(0, 0);

  KeptFds kept;
  for (int fd : {plan.control_fd, plan.status_fd, plan.exec.null_fd, plan.exec.out_fd,
                 plan.exec.err_fd, plan.exec.report_fd})
    if (fd >= 0) kept.fds[kept.count++] = fd;
  close_inherited_fds(kept);
  detach_standard_streams(kept, plan.exec.null_fd);

  GuardState state;
  state.self = ::getpid();
  state.status_fd = plan.status_fd;
  if (!plan.want_job) {
    write_message(plan.status_fd, kGuardNoJob, 0);
  } else if (::prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) {
    write_message(plan.status_fd, kGuardNoJob, errno);
  } else {
    state.subreaper = true;
  }
  state.sigchld_fd = ::signalfd(-1, &only_chld, SFD_NONBLOCK | SFD_CLOEXEC);

  pid_t child = ::fork();
  if (child == 0) exec_program(plan.exec, state.self);
  if (child < 0) {
    write_message(plan.status_fd, kGuardForkFailed, errno);
    ::_exit(0);
  }
  state.child = child;
  write_message(plan.status_fd, kGuardChildPid, child);
  // The program holds its own copies now; the report pipe ends at its exec.
  for (int fd : {plan.exec.null_fd, plan.exec.out_fd, plan.exec.err_fd, plan.exec.report_fd})
    if (fd > STDERR_FILENO) ::close(fd);

  watch(state, plan.control_fd);
  end_tree(state);
  ::_exit(0);
}

}  // namespace tarnwick::platform
