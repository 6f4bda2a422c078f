#include "runner/captured.h"

#include <fmt/format.h>

#include <chrono>
#include <cstdint>
#include <optional>

#include "base/call_context.h"
#include "runner/toolchain.h"

namespace tarnwick {
namespace {

const Duration kPollSlice{0, 50'000'000};

/// Called once the job is gone: the readers take what the pipes still hold
/// and end, even if something outside the job holds a pipe open.
void stop_readers(PipeTextReader& out, PipeTextReader& err) {
  out.stop_waiting();
  err.stop_waiting();
}

/// Ends a run that stopped early: the tree dies before the readers are
/// joined, so no descendant holding a pipe can keep the call waiting.
void kill_and_join(SpawnedChild& child, PipeTextReader& out, PipeTextReader& err) {
  kill_process_tree(child);
  stop_readers(out, err);
  out.join();
  err.join();
}

Error output_over_limit(size_t max_stdout) {
  return make_error(fmt::format("standard output passed {} bytes", max_stdout));
}

/// Runs the prepared command to its end. With `cancellable` the call's
/// cancel flag is read on every pass; `timeout` may be infinite. Standard
/// output beyond `max_stdout` ends the run with the tree killed.
Result<CapturedOutput> capture_run(const ChildCommand& command, Duration timeout, bool cancellable,
                                   size_t max_stdout = SIZE_MAX) {
  auto spawned = spawn_in_job(command);
  if (!spawned) return spawned.error();
  SpawnedChild& child = spawned.value();

  PipeTextReader out_reader, err_reader;
  if (auto started = out_reader.start(child.take_stdout(), max_stdout); !started) {
    kill_process_tree(child);
    platform::close_fd(child.process().stderr_fd);
    return started.error();
  }
  if (auto started = err_reader.start(child.take_stderr()); !started) {
    kill_and_join(child, out_reader, err_reader);
    return started.error();
  }

  // A cancellation ends the wait at once.
  platform::ReadStop cancel_wake;
  std::optional<CancelWakeScope> wake_on_cancel;
  if (cancellable) wake_on_cancel.emplace([&cancel_wake] { cancel_wake.stop(); });

  auto start = std::chrono::steady_clock::now();
  Deadline deadline = Deadline::after(timeout);
  for (;;) {
    auto status = child.poll_exit();
    if (!status) {
      // Releasing the child closes its job, so the readers end and can be joined.
      Error error = status.error();
      (void)release_child(child);
      stop_readers(out_reader, err_reader);
      out_reader.join();
      err_reader.join();
      return error;
    }
    if (status.value()) break;
    if (cancellable && cancel_requested()) {
      kill_and_join(child, out_reader, err_reader);
      return CancelledError{};
    }
    if (out_reader.over_limit()) {
      kill_and_join(child, out_reader, err_reader);
      return output_over_limit(max_stdout);
    }
    if (deadline.passed()) {
      kill_and_join(child, out_reader, err_reader);
      return TimeoutError{Duration::from_chrono(std::chrono::steady_clock::now() - start)};
    }
    Duration slice = deadline.infinite ? kPollSlice : std::min(kPollSlice, deadline.remaining());
    (void)child.wait_exit_for(slice, &cancel_wake);
  }

  // The child has ended; whatever it left running dies with its job before
  // the readers are joined, and they take only what the pipes still hold.
  close_job(child);
  stop_readers(out_reader, err_reader);
  CapturedOutput output;
  output.stdout_text = out_reader.join();
  output.stderr_text = err_reader.join();
  auto code = release_child(child);
  if (!code) return code.error();
  if (out_reader.over_limit()) return output_over_limit(max_stdout);
  output.exit_code = static_cast<uint32_t>(code.value());
  return output;
}

/// Runs a probe as prepared, its environment and working directory kept.
Result<CapturedOutput> capture_probe(ChildCommand& command, Duration timeout, bool cancellable) {
  command.stdout_to = platform::Redirect::pipe();
  command.stderr_to = platform::Redirect::pipe();
  return capture_run(command, timeout, cancellable);
}

}  // namespace

Result<CapturedOutput> run_command_captured(ChildCommand& command,
                                            const std::optional<std::string>& cwd,
                                            Duration timeout) {
  command.stdout_to = platform::Redirect::pipe();
  command.stderr_to = platform::Redirect::pipe();
  command.env = build_child_env();
  if (cwd) command.cwd = *cwd;
  return capture_run(command, timeout, /*cancellable=*/true);
}

Result<CapturedOutput> run_cargo_for_output(const std::vector<std::string>& argv,
                                            const std::optional<std::string>& cwd, Duration timeout,
                                            size_t max_stdout_bytes) {
  ChildCommand command = logged_cargo_command(argv, cwd);
  command.stdout_to = platform::Redirect::pipe();
  command.stderr_to = platform::Redirect::null();
  return capture_run(command, timeout, /*cancellable=*/true, max_stdout_bytes);
}

Result<CapturedOutput> run_probe_captured(ChildCommand& command) {
  return capture_probe(command, Duration::max(), /*cancellable=*/false);
}

Result<CapturedOutput> run_call_probe(ChildCommand& command, Duration timeout) {
  return capture_probe(command, timeout, /*cancellable=*/true);
}

Result<int32_t> run_command_silently(ChildCommand command, Duration limit) {
  command.stdout_to = platform::Redirect::null();
  command.stderr_to = platform::Redirect::null();
  command.env = build_child_env();
  command.cwd.reset();
  auto spawned = spawn_in_job(command);
  if (!spawned) return spawned.error();
  SpawnedChild& child = spawned.value();
  platform::ReadStop cancel_wake;
  CancelWakeScope wake_on_cancel([&cancel_wake] { cancel_wake.stop(); });
  auto start = std::chrono::steady_clock::now();
  Deadline deadline = Deadline::after(limit);
  for (;;) {
    auto status = child.poll_exit();
    if (!status) {
      Error error = status.error();
      (void)release_child(child);
      return error;
    }
    if (status.value()) break;
    if (cancel_requested() || deadline.passed()) {
      kill_process_tree(child);
      (void)release_child(child);
      if (cancel_requested()) return CancelledError{};
      return TimeoutError{Duration::from_chrono(std::chrono::steady_clock::now() - start)};
    }
    Duration slice = deadline.infinite ? kPollSlice : std::min(kPollSlice, deadline.remaining());
    (void)child.wait_exit_for(slice, &cancel_wake);
  }
  close_job(child);
  return release_child(child);
}

}  // namespace tarnwick
