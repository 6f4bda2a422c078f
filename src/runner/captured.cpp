#include "runner/captured.h"

#include <fmt/format.h>

#include <chrono>
#include <cstdint>
#include <memory>
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

}  // namespace

/// A started child with its two readers; until it is finished, dropping it
/// kills the tree and joins the readers.
class CaptureRun {
 public:
  explicit CaptureRun(SpawnedChild child) : child_(std::move(child)) {}
  ~CaptureRun() {
    if (!done_) kill_and_join(child_, out_reader_, err_reader_);
  }
  CaptureRun(const CaptureRun&) = delete;
  CaptureRun& operator=(const CaptureRun&) = delete;

  static Result<std::unique_ptr<CaptureRun>> start(const ChildCommand& command, size_t max_stdout) {
    auto spawned = spawn_in_job(command);
    if (!spawned) return spawned.error();
    auto run = std::make_unique<CaptureRun>(std::move(spawned.value()));
    SpawnedChild& child = run->child_;
    if (auto started = run->out_reader_.start(child.take_stdout(), max_stdout); !started) {
      platform::close_fd(child.process().stderr_fd);
      return started.error();
    }
    if (auto started = run->err_reader_.start(child.take_stderr()); !started)
      return started.error();
    run->max_stdout_ = max_stdout;
    return run;
  }

  /// Waits for the child's end. With `cancellable` the call's cancel flag is
  /// read on every pass; `timeout` may be infinite. Standard output beyond
  /// the limit ends the run with the tree killed.
  Result<CapturedOutput> finish(Duration timeout, bool cancellable) {
    done_ = true;
    // A cancellation ends the wait at once.
    platform::ReadStop cancel_wake;
    std::optional<CancelWakeScope> wake_on_cancel;
    if (cancellable) wake_on_cancel.emplace([&cancel_wake] { cancel_wake.stop(); });

    auto start = std::chrono::steady_clock::now();
    Deadline deadline = Deadline::after(timeout);
    for (;;) {
      auto status = child_.poll_exit();
      if (!status) {
        // Releasing the child closes its job, so the readers end and can be joined.
        Error error = status.error();
        (void)release_child(child_);
        stop_readers(out_reader_, err_reader_);
        out_reader_.join();
        err_reader_.join();
        return error;
      }
      if (status.value()) break;
      if (cancellable && cancel_requested()) {
        kill_and_join(child_, out_reader_, err_reader_);
        return CancelledError{};
      }
      if (out_reader_.over_limit()) {
        kill_and_join(child_, out_reader_, err_reader_);
        return output_over_limit(max_stdout_);
      }
      if (deadline.passed()) {
        kill_and_join(child_, out_reader_, err_reader_);
        return TimeoutError{Duration::from_chrono(std::chrono::steady_clock::now() - start)};
      }
      Duration slice = deadline.infinite ? kPollSlice : std::min(kPollSlice, deadline.remaining());
      (void)child_.wait_exit_for(slice, &cancel_wake);
    }

    // The child has ended; whatever it left running dies with its job before
    // the readers are joined, and they take only what the pipes still hold.
    close_job(child_);
    stop_readers(out_reader_, err_reader_);
    CapturedOutput output;
    output.stdout_text = out_reader_.join();
    output.stderr_text = err_reader_.join();
    auto code = release_child(child_);
    if (!code) return code.error();
    if (out_reader_.over_limit()) return output_over_limit(max_stdout_);
    output.exit_code = static_cast<uint32_t>(code.value());
    return output;
  }

 private:
  SpawnedChild child_;
  PipeTextReader out_reader_;
  PipeTextReader err_reader_;
  size_t max_stdout_ = SIZE_MAX;
  bool done_ = false;
};

namespace {

/// Runs the prepared command to its end, as `CaptureRun::finish`.
Result<CapturedOutput> capture_run(const ChildCommand& command, Duration timeout, bool cancellable,
                                   size_t max_stdout = SIZE_MAX) {
  auto run = CaptureRun::start(command, max_stdout);
  if (!run) return run.error();
  return (*run)->finish(timeout, cancellable);
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

StartedProbe::StartedProbe(std::unique_ptr<CaptureRun> run) : run_(std::move(run)) {}
StartedProbe::StartedProbe(StartedProbe&&) noexcept = default;
StartedProbe& StartedProbe::operator=(StartedProbe&&) noexcept = default;
StartedProbe::~StartedProbe() = default;

Result<StartedProbe> start_call_probe(ChildCommand command) {
  command.stdout_to = platform::Redirect::pipe();
  command.stderr_to = platform::Redirect::pipe();
  auto run = CaptureRun::start(command, SIZE_MAX);
  if (!run) return run.error();
  return StartedProbe(std::move(*run));
}

Result<CapturedOutput> StartedProbe::finish(Duration timeout) {
  std::unique_ptr<CaptureRun> run = std::move(run_);
  return run->finish(timeout, /*cancellable=*/true);
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
