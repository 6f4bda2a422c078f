#pragma once
/// Bookkeeping of the jobs this server started, so that a terminating signal
/// or the server's own exit ends them at once. (A server that dies without
/// running any code still ends them: each job's guard sees its control
/// channel close.)

namespace tarnwick::platform {

/// Asks every running job to kill its process tree. Called on the way out
/// of the process (end of input, exit notifications, terminating signals).
void kill_all_live_children();

/// Records the control descriptor of a started job. Lock-free, so the signal
/// handler can read the records.
void track_job(int job_fd);

/// Forgets a job before its control descriptor is closed.
void untrack_job(int job_fd);

/// Makes SIGTERM, SIGINT and SIGHUP kill every running job's tree and then
/// end the server by the same signal.
void install_exit_signal_handlers();

}  // namespace tarnwick::platform
