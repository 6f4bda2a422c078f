#pragma once
/// The job guard: a small process that stands between the server and one
/// child and plays the part of a job object. It becomes the child subreaper
/// of everything the child starts, so no descendant can leave its tree by
/// changing process group or session or by losing its parent. When the
/// server tells it to, or when the server dies in any way (the control
/// socket then reads its end), it kills every process below itself, reaps
/// them and ends.
///
/// Only for process_posix.cpp. Everything here runs in a freshly forked copy
/// of a threaded process, so it keeps to async-signal-safe system calls: no
/// allocation, no locks, no stdio.

namespace tarnwick::platform {

/// What the guard sends the server through its status pipe: one message of
/// two ints, {kind, value}, per event.
enum GuardReport : int {
  kGuardNoJob = 1,       // value: errno of the failed subreaper request, 0 when none was asked
  kGuardChildPid = 2,    // value: the child's process id
  kGuardForkFailed = 3,  // value: errno of the child's fork
  kGuardChildExit = 4,   // value: exit code, 128 + signal number for a signal
};

/// The server's one message on the control socket; the socket's end means
/// the same.
constexpr char kKillJob = 'k';

/// The program's process, prepared before the fork.
struct ExecPlan {
  const char* path = nullptr;
  char* const* argv = nullptr;
  char* const* envp = nullptr;
  const char* cwd = nullptr;  // nullptr: stay where the server is
  int null_fd = -1;
  int out_fd = -1;     // standard output of the program
  int err_fd = -1;     // standard error of the program
  int report_fd = -1;  // start errors, written as {kStartFailed, errno}
};

/// What the child writes on the report descriptor when it cannot start.
constexpr int kStartFailed = 2;

struct GuardPlan {
  ExecPlan exec;
  int control_fd = -1;   // the guard's end of the control socket
  int status_fd = -1;    // write end of the status pipe
  bool want_job = true;  // false only in tests of the fallback without a job
};

/// Body of the guard process; never returns.
[[noreturn]] void run_job_guard(const GuardPlan& plan);

}  // namespace tarnwick::platform
