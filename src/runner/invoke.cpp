#include "runner/invoke.h"

#include <fmt/format.h>

#include <algorithm>
#include <thread>

#include "base/bounded_line_channel.h"
#include "base/call_context.h"
#include "base/quoted.h"
#include "base/settings.h"
#include "base/text_lines.h"
#include "platform/environment.h"
#include "runner/child.h"
#include "runner/incremental.h"
#include "runner/toolchain.h"

namespace tarnwick {
namespace {

using Clock = std::chrono::steady_clock;

/// The longest a run waits before it looks at its clocks and the cancel flag
/// again.
constexpr Clock::duration kCycle = std::chrono::milliseconds(50);

/// `at` minus `span`, or `fallback` when that would go before the clock's
/// origin.
SteadyInstant instant_before(SteadyInstant at, Duration span, SteadyInstant fallback) {
  Clock::duration length = span.to_chrono();
  if (length > at.time_since_epoch()) return fallback;
  return at - length;
}

/// The call's last CARGO_TARGET_DIR override, for the stale-session clean-up.
TargetDirOverride target_dir_override() {
  TargetDirOverride found;
  for (const EnvOverride &entry : env_overrides()) {
    if (entry.name == "CARGO_TARGET_DIR") found.emplace(entry.value);
  }
  return found;
}

/// The clocks of a run as they stand.
struct RunState {
  SteadyInstant start;
  std::optional<SteadyInstant> kill_at;
  std::optional<SteadyInstant> idle_at;
  std::optional<SteadyInstant> phase_start;
  bool boundary_seen = false;
  /// cargo's build-finished record has come: later lines are not the build's.
  bool build_over = false;
  std::string stdout_text;
};

RunState start_clocks(const RunClocks &clocks) {
  RunState state;
  state.start = Clock::now();
  state.boundary_seen = !clocks.phase_boundary;
  if (clocks.deadline) {
    state.kill_at = clocks.deadline;
  } else if (!clocks.phase_boundary && clocks.timeout) {
    state.kill_at = instant_after(state.start, *clocks.timeout);
  }
  if (clocks.idle_timeout && !clocks.phase_boundary)
    state.idle_at = instant_after(state.start, *clocks.idle_timeout);
  return state;
}

bool reached(const std::optional<SteadyInstant> &at, SteadyInstant now) { return at && now >= *at; }

bool clock_fired(const RunState &state, SteadyInstant now) {
  return reached(state.kill_at, now) || reached(state.idle_at, now);
}

/// Now plus one cycle, but no later than the next clock.
SteadyInstant next_wake(const RunState &state, SteadyInstant now) {
  SteadyInstant wake = now + kCycle;
  if (state.kill_at) wake = std::min(wake, *state.kill_at);
  if (state.idle_at) wake = std::min(wake, *state.idle_at);
  return wake;
}

/// How long the clock that stopped the run had been running.
TimeoutError timeout_error(const RunState &state, const RunClocks &clocks, SteadyInstant now) {
  bool kill_fired = reached(state.kill_at, now);
  bool idle_fired = reached(state.idle_at, now);
  SteadyInstant from = state.phase_start.value_or(state.start);
  if (idle_fired && !kill_fired) {
    from = instant_before(*state.idle_at, *clocks.idle_timeout, state.start);
  } else if (kill_fired && clocks.deadline && clocks.timeout && !idle_fired) {
    from = instant_before(*clocks.deadline, *clocks.timeout, state.start);
  }
  return TimeoutError{Duration::from_chrono(now - from)};
}

/// One standard-output line: boundary, watchdog, sink, collection, watcher.
void handle_line(std::string line, RunState &state, const RunClocks &clocks,
                 const ProgressSink &sink, const OutputWatcher *watcher) {
  if (!state.build_over) {
    if (is_build_end_record(line))
      state.build_over = true;
    else if (auto demoted = demote_finalize_advisory(line))
      line = std::move(*demoted);
  }
  if (!state.boundary_seen) {
    if (clocks.phase_boundary(line)) {
      SteadyInstant now = Clock::now();
      state.phase_start = now;
      state.boundary_seen = true;
      if (!clocks.deadline && clocks.timeout) state.kill_at = instant_after(now, *clocks.timeout);
      if (clocks.idle_timeout) state.idle_at = instant_after(now, *clocks.idle_timeout);
    }
  } else if (clocks.idle_timeout && clocks.idle_restart && clocks.idle_restart(line)) {
    state.idle_at = instant_after(Clock::now(), *clocks.idle_timeout);
  }
  sink(line);
  size_t offset = state.stdout_text.size();
  size_t size = line.size();
  // Cut again into lines, the collected text gives back this very line.
  std::string_view line_end = line_end_for(line);
  if (state.stdout_text.empty())
    state.stdout_text = std::move(line);  // a long first line is not copied
  else
    state.stdout_text.append(line);
  state.stdout_text.append(line_end);
  if (watcher) (*watcher)(std::string_view(state.stdout_text).substr(offset, size), offset);
}

/// Shows every line of `text` to `watcher` again, from the start.
void show_again(const OutputWatcher *watcher, std::string_view text) {
  if (!watcher) return;
  for (std::string_view line : split_lines(text))
    (*watcher)(line, static_cast<size_t>(line.data() - text.data()));
}

/// The two pipe readers of a run. Whatever way the run ends, both are joined
/// before it returns.
class RunReaders {
 public:
  Status start(SpawnedChild &child) {
    int err_fd = child.take_stderr();
    if (auto out = out_reader_.start(child.take_stdout()); !out) {
      platform::close_fd(err_fd);
      return out.error();
    }
    if (err_fd < 0) return ok_status();  // standard error joined standard output
    return err_reader_.start(err_fd);
  }

  BoundedLineChannel &channel() { return out_reader_.channel(); }

  /// Once the job is gone nothing of the run writes any more: the readers
  /// take what the pipes hold and end, even if something outside the run
  /// still holds a pipe open.
  void stop_waiting() {
    out_reader_.stop_waiting();
    err_reader_.stop_waiting();
  }

  /// Stops taking lines and joins both readers; their results are dropped.
  void abandon() {
    stop_waiting();
    out_reader_.join();
    err_reader_.join();
  }

  /// Joins both readers after the end of output; returns the standard error.
  std::string finish() {
    stop_waiting();
    out_reader_.join();
    return err_reader_.join();
  }

 private:
  PipeLineReader out_reader_;
  PipeTextReader err_reader_;
};

/// Once the child has ended, whatever it left running dies with its job and
/// the readers stop waiting for more: a descendant that keeps a pipe open
/// cannot hold the run. True once that is done.
bool close_job_after_child_end(SpawnedChild &child, RunReaders &readers) {
  auto status = child.poll_exit();
  if (!status || !status.value()) return false;  // a failed poll shows again after the loop
  close_job(child);
  readers.stop_waiting();
  return true;
}

/// Ends a run that stopped early: the tree dies before the readers are
/// joined, so no descendant holding a pipe can keep the call waiting.
Error stop_run(SpawnedChild &child, RunReaders &readers, Error why) {
  kill_process_tree(child);
  readers.abandon();
  (void)release_child(child);
  return why;
}

/// Why the run must stop now, if it must.
std::optional<Error> stop_reason(const RunState &state, const RunClocks &clocks) {
  if (cancel_requested()) return Error(CancelledError{});
  SteadyInstant now = Clock::now();
  if (clock_fired(state, now)) return Error(timeout_error(state, clocks, now));
  if (clocks.watch) return clocks.watch();
  return std::nullopt;
}

/// Waits for the child's end once its output has ended, still under the
/// clocks and the cancel flag: a child that closes its output and lingers
/// must not hold the call.
Status wait_for_exit(SpawnedChild &child, RunReaders &readers, const RunState &state,
                     const RunClocks &clocks, const platform::ReadStop &cancel_wake) {
  for (;;) {
    if (auto why = stop_reason(state, clocks)) return stop_run(child, readers, std::move(*why));
    SteadyInstant now = Clock::now();
    auto status =
        child.wait_exit_for(Duration::from_chrono(next_wake(state, now) - now), &cancel_wake);
    if (!status) return stop_run(child, readers, status.error());
    if (status.value()) return ok_status();
  }
}

ChildCommand cargo_command(const std::string &program, const RunRequest &request) {
  ChildCommand command;
  command.program = program;
  command.args = request.argv;
  command.env = build_child_env();
  for (const auto &[name, value] : request.extra_env) (*command.env)[name] = value;
  command.cwd = request.cwd;
  if (request.stderr_into_stdout) command.stderr_to = platform::Redirect::stdout_target();
  return command;
}

std::string server_directory_text() { return platform::current_directory().value_or("<unknown>"); }

}  // namespace

std::optional<SteadyInstant> instant_after(SteadyInstant from, Duration span) {
  Clock::duration length = span.to_chrono();
  if (length > SteadyInstant::max() - from) return std::nullopt;
  return from + length;
}

bool is_build_finished_line(std::string_view line) {
  return line.find("\"reason\":\"build-finished\"") != std::string_view::npos;
}

PhaseBoundary stamp_build_finished(std::optional<SteadyInstant> &shared_start) {
  return [&shared_start](std::string_view line) {
    if (!is_build_finished_line(line)) return false;
    if (!shared_start) shared_start = Clock::now();
    return true;
  };
}

void append_failure_hints(std::string &stderr_text, const std::optional<std::string> &cwd) {
  constexpr std::string_view kWrongPlace[] = {"could not find `Cargo.toml`",
                                              "no override and no rust-toolchain.toml found",
                                              "rustup could not choose a version"};
  bool wrong_place =
      std::any_of(std::begin(kWrongPlace), std::end(kWrongPlace),
                  [&](std::string_view m) { return stderr_text.find(m) != std::string::npos; });
  if (!wrong_place) return;
  std::string dir = cwd ? *cwd : server_directory_text();
  const char *label = cwd ? "(passed by caller)"
                          : "(default — tarnwick server's process CWD; this is "
                            "almost certainly NOT "
                            "your workspace)";
  if (!stderr_text.ends_with('\n')) stderr_text.push_back('\n');
  stderr_text += fmt::format(
      "\nhint: tarnwick's effective working directory was {} {}. "
      "Pass `working_dir` explicitly, set "
      "to the absolute path of your workspace root (the directory "
      "containing the top-level "
      "Cargo.toml), then retry. Use the cargo_diagnostic tool for "
      "a full toolchain/path report.\n",
      dir, label);
}

namespace {

/// Runs a prepared command (its program, arguments, environment and working
/// directory as given; its streams are piped here) under the same
/// supervision as cargo: lines to the sink while collected, both clocks, the
/// cancel flag, the whole tree killed when the run stops early. Nothing of
/// cargo's own handling: no program lookup, no clean-up, no hints. Each
/// collected line is shown to `watcher` when given.
RunResult run_supervised(ChildCommand command, const ProgressSink &sink, const RunClocks &clocks,
                         const OutputWatcher *watcher) {
  command.stdout_to = platform::Redirect::pipe();
  if (command.stderr_to.kind != platform::Redirect::Kind::Stdout)
    command.stderr_to = platform::Redirect::pipe();
  auto spawned = spawn_in_job(command);
  if (!spawned) return spawned.error();
  SpawnedChild &child = spawned.value();
  RunReaders readers;
  if (auto started = readers.start(child); !started)
    return stop_run(child, readers, started.error());

  // A cancellation ends whatever the run waits for at once, rather than at
  // its next look at the flag.
  platform::ReadStop cancel_wake;
  CancelWakeScope wake_on_cancel([&readers, &cancel_wake] {
    readers.channel().wake_receiver();
    cancel_wake.stop();
  });

  RunState state = start_clocks(clocks);
  bool job_closed = false;
  for (;;) {
    if (auto why = stop_reason(state, clocks)) return stop_run(child, readers, std::move(*why));
    std::string line;
    auto got = readers.channel().recv_until(Deadline{next_wake(state, Clock::now()), false}, line);
    if (got == BoundedLineChannel::Recv::End) break;
    if (got == BoundedLineChannel::Recv::Line) {
      handle_line(std::move(line), state, clocks, sink, watcher);
    } else if (!job_closed) {
      job_closed = close_job_after_child_end(child, readers);
    }
  }

  // The end marker comes after every queued line, so nothing is left to take.
  if (auto exited = wait_for_exit(child, readers, state, clocks, cancel_wake); !exited)
    return exited.error();
  // Whatever the child left running dies with its job before the readers are
  // joined.
  close_job(child);
  RunOutput output;
  output.stderr_text = readers.finish();
  auto code = release_child(child);
  if (!code) return code.error();
  output.exit_code = code.value();
  output.stdout_text = std::move(state.stdout_text);
  return output;
}

}  // namespace

RunResult run_cargo_once(const RunRequest &request, const RunClocks &clocks) {
  if (runtime_settings().clear_incr_working)
    clear_stale_incremental_sessions(request.cwd, target_dir_override());
  ResolvedProgram program = resolve_toolchain_program("cargo", "CARGO");
  log_invocation(program.path, program.source, request.cwd, request.argv);

  RunResult run =
      run_supervised(cargo_command(program.path, request), *request.sink, clocks, request.watcher);
  if (run && run->exit_code != 0) {
    append_failure_hints(run->stderr_text, request.cwd);
    int32_t code = rescue_finalize_advisory(run->stdout_text, run->exit_code, *request.sink);
    if (code != run->exit_code) show_again(request.watcher, run->stdout_text);
    run->exit_code = code;
  }
  return run;
}

}  // namespace tarnwick
