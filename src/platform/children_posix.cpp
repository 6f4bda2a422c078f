#include <unistd.h>

#include <atomic>
#include <csignal>

#include "platform/children.h"

namespace tarnwick::platform {
namespace {

/// One slot per live child: a positive process group id, a negative process
/// id for a child without a group, or 0 when free. A fixed array of atomics
/// so the signal handler can walk it without locks or allocation.
constexpr int kSlots = 256;
std::atomic<int> g_children[kSlots];
static_assert(std::atomic<int>::is_always_lock_free);

/// A group id g is killed as kill(-g); a lone process stored as -p as kill(p).
void kill_recorded(int value) {
  if (value != 0) ::kill(-value, SIGKILL);
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

void track_child(int pid, bool has_group) {
  if (pid <= 0) return;
  int value = has_group ? pid : -pid;
  for (auto& slot : g_children) {
    int expected = 0;
    if (slot.compare_exchange_strong(expected, value)) return;
  }
  // All slots taken: the child is still killed by its run; only the
  // kill-on-exit backstop is missing for it.
}

void untrack_child(int pid) {
  if (pid <= 0) return;
  for (auto& slot : g_children) {
    int expected = pid;
    if (slot.compare_exchange_strong(expected, 0)) return;
    expected = -pid;
    if (slot.compare_exchange_strong(expected, 0)) return;
  }
}

void kill_all_live_children() {
  for (auto& slot : g_children) kill_recorded(slot.load());
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
