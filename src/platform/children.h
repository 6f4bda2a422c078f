#pragma once
/// Bookkeeping of the process groups this server started, so that they die
/// with the server as a job object's processes die with its handle.

namespace tarnwick::platform {

/// Kills every child process group still running. Called on the way out of
/// the process (end of input, exit notifications, terminating signals).
void kill_all_live_children();

/// Records a started child: its process group when `has_group`, else the
/// process alone. Lock-free, so the signal handler can read the records.
void track_child(int pid, bool has_group);

/// Forgets a child before it is reaped.
void untrack_child(int pid);

/// Makes SIGTERM, SIGINT and SIGHUP kill every running child group and then
/// end the server by the same signal.
void install_exit_signal_handlers();

}  // namespace tarnwick::platform
