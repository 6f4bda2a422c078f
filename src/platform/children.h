#pragma once
/// Bookkeeping of the process groups this server started, so that they die
/// with the server as a job object's processes die with its handle.

namespace tarnwick::platform {

/// Kills every child process group still running. Called on the way out of
/// the process (end of input, exit notifications, terminating signals).
void kill_all_live_children();

}  // namespace tarnwick::platform
