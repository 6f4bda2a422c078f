#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <csignal>

#include "platform/children.h"
#include "platform/job_guard.h"

namespace tarnwick::platform {
namespace {

/// One slot per live job: its control descriptor plus one, or 0 when free.
/// A fixed array of atomics so the signal handler can walk it without locks
/// or allocation.
constexpr int kSlots = 256;
std::atomic<int> g_jobs[kSlots];
static_assert(std::atomic<int>::is_always_lock_free);

void ask_to_kill(int slot_value) {
  if (slot_value == 0) return;
  char message = kKillJob;
  (void)::send(slot_value - 1, &message, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
}

extern "C" void on_exit_signal(int sig) {
  kill_all_live_children();
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  ::sigaction(sig, &dfl, nullptr);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, sig);
  ::sigprocmask(SIG_UNBLOCK, &set, nullptr);
  ::raise(sig);
  ::_exit(128 + sig);
}

}  // namespace

void track_job(int job_fd) {
  if (job_fd < 0) return;
  for (auto& slot : g_jobs) {
    int expected = 0;
    if (slot.compare_exchange_strong(expected, job_fd + 1)) return;
  }
  // All slots taken: the job still ends with its run and with the server;
  // only the early kill on a terminating signal is missing for it.
}

void untrack_job(int job_fd) {
  if (job_fd < 0) return;
  for (auto& slot : g_jobs) {
    int expected = job_fd + 1;
    if (slot.compare_exchange_strong(expected, 0)) return;
  }
}

void kill_all_live_children() {
  for (auto& slot : g_jobs) ask_to_kill(slot.load());
}

void install_exit_signal_handlers() {
  struct sigaction action {};
  action.sa_handler = on_exit_signal;
  sigemptyset(&action.sa_mask);
  // Block the other exit signals while one is handled, so the kill runs once.
  sigaddset(&action.sa_mask, SIGTERM);
  sigaddset(&action.sa_mask, SIGINT);
  sigaddset(&action.sa_mask, SIGHUP);
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(sig, &action, nullptr);
}

}  // namespace tarnwick::platform
