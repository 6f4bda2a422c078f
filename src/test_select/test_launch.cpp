#include "test_select/test_launch.h"

#include <fmt/format.h>

#include <algorithm>
#include <chrono>

#include "base/json_text.h"
#include "base/quoted.h"
#include "base/terminal_text.h"
#include "base/text_lines.h"
#include "platform/runner_messages.h"
#include "runner/invoke.h"
#include "runner/toolchain.h"

namespace tarnwick {
namespace {

using Clock = std::chrono::steady_clock;

/// cargo's status line for starting a binary, right-aligned in twelve columns.
constexpr std::string_view kRunning = "Running ";

/// What a terminal shows of a line of cargo's: without escape sequences,
/// from its last carriage return on.
std::string shown_text(std::string_view line) {
  VisibleText visible(line);
  std::string_view text = visible.text();
  return std::string(text.substr(after_last_carriage_return(text)));
}

/// Whether `line` is cargo's line for starting `executable`, which shows it
/// in full or relative to cargo's working directory, alone (older cargo) or
/// in parentheses after the target's source. Paths may hold blanks and
/// parentheses of their own, so the line is matched against the path.
bool names_start_of(std::string_view line, std::string_view executable) {
  std::string_view text = trim(line);
  if (!text.starts_with(kRunning)) return false;
  std::string_view description = text.substr(kRunning.size());
  for (size_t from = 0; from < executable.size();) {
    std::string_view shown = executable.substr(from);
    if (description == shown) return true;
    if (description.size() >= shown.size() + 2 && description.ends_with(')')) {
      std::string_view inner = description.substr(0, description.size() - 1);
      size_t open = inner.size() - shown.size() - 1;
      if (inner.ends_with(shown) && inner[open] == '(' && (open == 0 || inner[open - 1] == ' '))
        return true;
    }
    size_t slash = executable.find('/', from);
    if (slash == std::string_view::npos) break;
    from = slash + 1;
  }
  return false;
}

/// Whether `line`, as a terminal shows it, is cargo's start of one of `paths`.
bool starts_one_of(std::string_view line, const std::vector<std::string>& paths) {
  // Most of cargo's lines are its JSON messages: none of those is copied
  // (colour may stand between the word and its blank).
  if (paths.empty() || line.find("Running") == std::string_view::npos) return false;
  std::string shown = shown_text(line);
  return std::any_of(paths.begin(), paths.end(),
                     [&](const std::string& path) { return names_start_of(shown, path); });
}

/// The clock that has run out, if one has: the call's budget from the first
/// start of a binary, or the running binary's own.
std::optional<Error> clock_ran_out(const BinaryRunWatch::Moment& moment,
                                   const LaunchClocks& clocks) {
  if (clocks.first_start && !*clocks.first_start) *clocks.first_start = moment.first_start;
  RunInstant now = Clock::now();
  std::optional<RunInstant> first = clocks.first_start ? *clocks.first_start : moment.first_start;
  if (clocks.overall && first) {
    std::optional<RunInstant> deadline = instant_after(*first, *clocks.overall);
    if (deadline && now >= *deadline)
      return Error(TimeoutError{Duration::from_chrono(now - *first)});
  }
  if (clocks.per_binary && moment.running) {
    RunInstant from = clocks.silence ? moment.last_progress : moment.started;
    std::optional<RunInstant> limit = instant_after(from, *clocks.per_binary);
    if (limit && now >= *limit) return Error(TimeoutError{Duration::from_chrono(now - from)});
  }
  return std::nullopt;
}

/// cargo's lines as it wrote them, its JSON messages apart from the rest.
struct CargoLines {
  std::string json;
  std::string text;

  void take(std::string_view line) {
    std::string shown = shown_text(line);
    if (shown.starts_with('{'))
      append_line(json, shown);
    else
      append_line(text, line);
  }
};

}  // namespace

HostProbe start_runner_probe(const TestRunBase& base) {
  if (!base.build_targets.empty()) return {};
  return start_host_probe(base.cwd, build_child_env(), base.toolchain);
}

Status prepare_test_runner(TestRunBase& base, HostProbe& early) {
  ChildEnv env = build_child_env();
  auto targets = find_target_runners(base.cwd, env, base.toolchain, base.build_targets, &early);
  if (!targets) return std::move(targets).error();
  base.runner_targets = std::move(*targets);
  auto skips = env.find(std::string(platform::kSkipsVariable));
  if (skips != env.end()) base.runner_skips_value = skips->second;
  return ok_status();
}

const BinaryRun* LaunchRun::run_of(size_t binary) const {
  for (const BinaryRun& run : seen.runs)
    if (run.binary == binary) return &run;
  return nullptr;
}

std::vector<std::string> test_launch_argv(const TestRunBase& base,
                                          const std::vector<std::string>& libtest_args) {
  std::vector<std::string> argv;
  if (base.toolchain) argv.push_back(*base.toolchain);
  argv.insert(argv.end(), {"test", "--message-format=json"});
  argv.insert(argv.end(), base.packages.begin(), base.packages.end());
  if (base.targets.empty())
    argv.emplace_back("--tests");
  else
    argv.insert(argv.end(), base.targets.begin(), base.targets.end());
  argv.insert(argv.end(), base.build_flags.begin(), base.build_flags.end());
  // cargo's lines in one form, whatever the user's configuration says: no
  // colour, no progress bar, and neither quiet (which cargo passes on to
  // libtest as its terse format) nor verbose.
  argv.insert(argv.end(),
              {"--no-fail-fast", "--color", "never", "--config", "term.progress.when=\"never\"",
               "--config", "term.quiet=false", "--config", "term.verbose=false", "--"});
  argv.insert(argv.end(), libtest_args.begin(), libtest_args.end());
  return argv;
}

Result<LaunchRun> run_test_launch(const TestRunBase& base, const std::vector<TestBinary>& binaries,
                                  const std::vector<bool>& to_start,
                                  const std::vector<std::string>& libtest_args,
                                  const LaunchClocks& clocks, const ProgressSink& sink) {
  BinaryRunPlan plan;
  for (const TestBinary& binary : binaries) plan.executables.push_back(binary.executable);
  plan.to_start = to_start;
  plan.targets = base.runner_targets;
  plan.runner_command = base.runner_command;
  plan.skips_value = base.runner_skips_value;
  plan.progress_names = clocks.names;
  auto watch = BinaryRunWatch::start(std::move(plan));
  if (!watch) return std::move(watch).error();

  LaunchRun launch;
  launch.argv = test_launch_argv(base, libtest_args);
  CargoLines cargo;
  // A run shows every line again from offset 0 when it changed its output.
  OutputWatcher watcher = [&cargo, seen = false](std::string_view line, size_t offset) mutable {
    if (offset == 0 && seen) cargo = CargoLines{};
    seen = true;
    cargo.take(line);
  };
  // cargo's lines about the binaries this run lets end unstarted are noise
  // to the client: they say nothing of the launch's tests.
  std::vector<std::string> unstarted;
  for (size_t i = 0; i < binaries.size(); ++i)
    if (i >= to_start.size() || !to_start[i]) unstarted.push_back(binaries[i].executable);
  ProgressSink cargo_sink = [&sink, &unstarted](std::string_view line) {
    if (!starts_one_of(line, unstarted)) sink(line);
  };
  RunRequest request;
  request.argv = launch.argv;
  request.cwd = base.cwd;
  request.sink = &cargo_sink;
  request.watcher = &watcher;
  // cargo's own lines only: the binaries write to pipes of their own.
  request.stderr_into_stdout = true;
  request.extra_env = (*watch)->cargo_variables();
  RunClocks run_clocks;
  run_clocks.watch = [&watch, &clocks, &sink]() {
    (*watch)->forward_lines(sink);
    return clock_ran_out((*watch)->moment(), clocks);
  };
  RunResult run = run_cargo_once(request, run_clocks);
  // The run's processes are gone: what the binaries wrote is all there.
  launch.seen = (*watch)->finish();
  (*watch)->forward_lines(sink);
  launch.cargo_json = std::move(cargo.json);
  launch.cargo_text = std::move(cargo.text);
  if (!run) {
    if (!is_error_kind<TimeoutError>(run.error())) return std::move(run).error();
    launch.stopped = std::move(run).error();
    return launch;
  }
  launch.exit_code = run->exit_code;
  return launch;
}

std::string why_not_started(const LaunchRun& run, const TestBinary& binary) {
  for (std::string_view line : split_lines(run.cargo_text))
    if (names_start_of(shown_text(line), binary.executable))
      return "cargo ran it without tarnwick's test runner (its target's runner was not foreseen)";
  std::vector<std::string> errors;
  for (std::string_view line : split_lines(run.cargo_json)) {
    json record = json::parse(line, nullptr, false);
    const json* message = record.is_object() ? find_member(record, "message") : nullptr;
    if (!message || !message->is_object() || message->value("level", "") != "error") continue;
    errors.push_back(message->value("message", ""));
  }
  std::string last;
  for (std::string_view line : split_lines(run.cargo_text)) {
    std::string text = shown_text(line);
    std::string_view trimmed = trim(text);
    if (trimmed.starts_with("error")) errors.emplace_back(trimmed);
    if (!trimmed.empty()) last = std::string(trimmed);
  }
  if (errors.empty() && !last.empty()) errors.push_back(last);
  return fmt::format("{}", fmt::join(errors, "; "));
}

bool BinaryReport::passed() const { return ended() && run->status->success() && accounted_; }

std::vector<std::string> BinaryReport::crashed() const {
  if (!ended() || run->status->success() || libtest.closed) return {};
  std::vector<std::string> names = overflowed;
  if (libtest.unfinished &&
      std::find(names.begin(), names.end(), *libtest.unfinished) == names.end())
    names.push_back(*libtest.unfinished);
  return names;
}

BinaryReport report_binary(const LaunchRun& run, size_t binary,
                           const std::set<std::string>& expected) {
  BinaryReport report;
  report.run = run.run_of(binary);
  if (report.run && !expected.empty()) {
    const BinaryRun& ran = *report.run;
    std::optional<int> exit_code;
    if (ran.status && !ran.status->signalled) exit_code = ran.status->value;
    // What a user's runner passes on to the binary is not known.
    TestThreads threads =
        ran.through_user_runner ? TestThreads::Unknown : test_threads_of(ran.args, ran.threads_env);
    report.libtest = read_libtest_run(ran.own_out(), expected, threads, exit_code);
    report.overflowed = overflowed_tests(ran.err, expected);
  }
  for (const std::string& name : expected)
    if (!report.libtest.results.contains(name)) report.without_result.push_back(name);
  report.accounted_ = expected.empty() || report.libtest.closed;
  return report;
}

RunOutput launch_output(const LaunchRun& run) {
  RunOutput output;
  output.stdout_text = run.cargo_json;
  for (const BinaryRun& binary : run.seen.runs) {
    output.stdout_text += binary.out;
    if (!binary.out.empty() && !binary.out.ends_with('\n')) output.stdout_text += '\n';
  }
  for (std::string_view line : split_lines(run.cargo_text))
    if (!starts_one_of(line, run.seen.skipped)) append_line(output.stderr_text, line);
  for (const BinaryRun& binary : run.seen.runs) {
    output.stderr_text += binary.err;
    if (!binary.err.empty() && !binary.err.ends_with('\n')) output.stderr_text += '\n';
  }
  output.exit_code = run.exit_code;
  return output;
}

}  // namespace tarnwick
