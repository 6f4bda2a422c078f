#include "test_select/filter_run.h"

#include <fmt/format.h>

#include <chrono>

#include "base/call_context.h"
#include "runner/invoke.h"
#include "runner/records.h"
#include "test_select/enumerate.h"

namespace tarnwick {
namespace {

using Clock = std::chrono::steady_clock;

/// What one batch of launches (a binary's groups, or one test) gave.
struct LaunchResult {
  std::vector<std::string> lines;
  int32_t exit_code = 0;
  uint64_t launches = 0;
  bool budget_exhausted = false;
  std::vector<std::string> not_run;
};

/// What all launches of a call share.
struct LaunchContext {
  const FilterPlan& plan;
  const ProgressSink& sink;
  const TestEnvironment& environment;
  /// Starts with the first launch.
  std::optional<SteadyInstant> execution_start;
};

/// The kill instant of the overall budget, once the execution clock runs.
std::optional<SteadyInstant> budget_deadline(const LaunchContext& context) {
  if (!context.plan.overall_budget || !context.execution_start) return std::nullopt;
  Clock::duration length = context.plan.overall_budget->to_chrono();
  if (length > SteadyInstant::max() - *context.execution_start) return std::nullopt;
  return *context.execution_start + length;
}

bool budget_spent(const LaunchContext& context) {
  std::optional<SteadyInstant> deadline = budget_deadline(context);
  return deadline && Clock::now() >= *deadline;
}

/// One launch as it ended.
struct OneLaunch {
  std::string text;
  int32_t exit_code = 0;
  bool aborted = false;
  /// The budget had a deadline when the launch started and it has passed.
  bool past_deadline = false;
  std::vector<std::string> not_run;
};

/// The launch text of a run that did not finish.
std::string failed_launch_text(const std::vector<std::string>& argv, const FilterPlan& plan,
                               std::string_view what, const Error& error) {
  RunOutput output;
  output.stderr_text =
      fmt::format("tarnwick test_filter: {} run failed: {}", what, error_text(error));
  output.exit_code = -1;
  return build_run_result(output, argv, plan.cwd);
}

void append_stderr_line(RunOutput& output, const std::string& line) {
  if (!output.stderr_text.empty() && !output.stderr_text.ends_with('\n'))
    output.stderr_text.push_back('\n');
  output.stderr_text += line;
}

/// A finished launch is believed only when libtest accounted for every name
/// it was given and its count line agrees: a test may end the binary early,
/// and a child process may print result lines of its own.
void check_libtest_account(RunOutput& output, const std::vector<std::string>& names,
                           std::vector<std::string>& not_run) {
  LibtestAccount account = account_for_run(output.stdout_text, names);
  if (account.trusted()) return;
  not_run = account.not_reported;
  if (!not_run.empty()) {
    append_stderr_line(
        output,
        fmt::format("tarnwick test_filter: {} selected test(s) did not run in this launch: {}",
                    not_run.size(), fmt::join(not_run, ", ")));
  }
  if (!account.counts_agree) {
    append_stderr_line(output,
                       "tarnwick test_filter: libtest's count line is missing or does not agree "
                       "with the tests it reported, so this launch's results are not trusted");
  }
  if (output.exit_code == 0) output.exit_code = -1;
}

/// The listed binary itself, started in its package root with what cargo
/// gives it.
Result<ChildCommand> launch_command(const LaunchContext& context, const TestBinary& binary,
                                    std::vector<std::string> args) {
  Result<TestRunPlace> place = test_run_place(context.environment, binary);
  if (!place) return std::move(place).error();
  ChildCommand command;
  command.program = binary.executable;
  command.args = std::move(args);
  ChildEnv env = build_child_env();
  for (auto& [name, value] : place->env) env[name] = std::move(value);
  command.env = std::move(env);
  command.cwd = std::move(place->cwd);
  return command;
}

/// Launches `binary` for `names`. `watchdog` makes the per-test budget a
/// silence limit reset by libtest's progress lines; otherwise it caps the
/// launch. Both run from the launch's start.
Result<OneLaunch> launch(LaunchContext& context, const TestBinary& binary,
                         const std::vector<std::string>& names, bool watchdog,
                         std::string_view what) {
  const FilterPlan& plan = context.plan;
  std::vector<std::string> args = filtered_launch_args(names, plan.include_ignored);
  std::vector<std::string> argv{binary.executable};
  argv.insert(argv.end(), args.begin(), args.end());
  OneLaunch result;
  if (!context.execution_start) context.execution_start = Clock::now();
  std::optional<SteadyInstant> deadline = budget_deadline(context);
  if (deadline && Clock::now() >= *deadline) {
    Error spent = TimeoutError{Duration::from_chrono(Clock::now() - *context.execution_start)};
    result.text = failed_launch_text(argv, plan, what, spent);
    result.exit_code = -1;
    result.aborted = true;
    result.not_run = names;
    return result;
  }

  Result<ChildCommand> command = launch_command(context, binary, std::move(args));
  if (!command) return std::move(command).error();
  RunClocks clocks;
  clocks.timeout = plan.overall_budget;
  clocks.deadline = deadline;
  clocks.idle_timeout = plan.per_test_budget;
  clocks.idle_watchdog = watchdog;
  RunResult run = run_supervised(std::move(*command), context.sink, clocks);
  result.past_deadline = deadline && Clock::now() >= *deadline;
  if (!run) {
    if (is_error_kind<CancelledError>(run.error())) return std::move(run).error();
    result.text = failed_launch_text(argv, plan, what, run.error());
    result.exit_code = -1;
    result.not_run = names;
    return result;
  }
  check_libtest_account(*run, names, result.not_run);
  result.text = build_run_result(*run, argv, plan.cwd);
  result.exit_code = run->exit_code;
  return result;
}

void take_launch(LaunchResult& step, OneLaunch&& one) {
  step.lines.push_back(std::move(one.text));
  step.launches += 1;
  if (step.exit_code == 0) step.exit_code = one.exit_code;
  step.not_run.insert(step.not_run.end(), one.not_run.begin(), one.not_run.end());
}

/// Every launch group of one binary, the idle watchdog on; the groups after
/// one the budget stopped are not launched.
Result<LaunchResult> run_binary_filtered(LaunchContext& context, const EnumeratedBinary& entry) {
  LaunchResult step;
  for (const std::vector<std::string>& group : cut_launch_groups(entry.matched)) {
    if (step.budget_exhausted) {
      step.not_run.insert(step.not_run.end(), group.begin(), group.end());
      continue;
    }
    Result<OneLaunch> one = launch(context, entry.binary, group, true, "per-binary");
    if (!one) return std::move(one).error();
    step.budget_exhausted = one->aborted;
    take_launch(step, std::move(*one));
  }
  return step;
}

/// One launch for one test; the budget counts as spent when the launch was
/// not started or ended past a deadline that existed before it.
Result<LaunchResult> run_single_test(LaunchContext& context, const TestBinary& binary,
                                     const std::string& name) {
  Result<OneLaunch> one = launch(context, binary, {name}, false, "per-test");
  if (!one) return std::move(one).error();
  LaunchResult step;
  step.budget_exhausted = one->aborted || one->past_deadline;
  take_launch(step, std::move(*one));
  return step;
}

/// The failure text of one binary's enumeration.
std::string enumeration_error(const std::string& executable, const Error& error) {
  std::string reason =
      is_error_kind<TimeoutError>(error)
          ? fmt::format("enumeration timed out after {:.1f}s (`--list` did not finish)",
                        kListTimeout.as_secs_f64())
          : error_text(error);
  return executable + ": " + reason;
}

Result<FilterFindings> enumerate_and_match(const FilterPlan& plan, std::string_view build_stdout) {
  FilterFindings findings;
  findings.pattern = plan.pattern_text;
  findings.include_ignored = plan.include_ignored;
  for (TestBinary& binary : parse_test_artifacts(build_stdout)) {
    if (cancel_requested()) return CancelledError{};
    Result<TestListing> listing = list_tests(binary.executable, plan.include_ignored, plan.cwd);
    if (!listing) {
      if (is_error_kind<CancelledError>(listing.error())) return std::move(listing).error();
      findings.enumeration_errors.push_back(enumeration_error(binary.executable, listing.error()));
      continue;
    }
    findings.binaries.push_back(EnumeratedBinary{std::move(binary), std::move(listing->names), {}});
  }
  if (cancel_requested()) return CancelledError{};
  match_tests(findings.binaries, *plan.pattern);
  if (plan.per_test_execution)
    findings.launches_planned = findings.tests_matched();
  else
    findings.launches_planned = count_planned_launches(findings.binaries);
  return findings;
}

/// The launch steps over all binaries with matches, in order.
struct LaunchTotals {
  std::vector<std::string> lines;
  int32_t exit_code = 0;
  uint64_t launches = 0;
  std::vector<std::string> not_run;
  bool stopped = false;

  /// Takes a step's outcome; launching stops once the budget is spent.
  void take(LaunchResult&& step) {
    if (step.exit_code != 0 && exit_code == 0) exit_code = step.exit_code;
    for (std::string& line : step.lines) lines.push_back(std::move(line));
    launches += step.launches;
    not_run.insert(not_run.end(), step.not_run.begin(), step.not_run.end());
    stopped = step.budget_exhausted;
  }

  /// Names the budget left unlaunched: they did not run, so the call fails.
  void not_launched(const std::vector<std::string>& names) {
    not_run.insert(not_run.end(), names.begin(), names.end());
    if (exit_code == 0) exit_code = -1;
  }
};

Status launch_all(LaunchContext& context, const FilterFindings& findings, LaunchTotals& totals) {
  for (const EnumeratedBinary& entry : findings.binaries) {
    if (entry.matched.empty()) continue;
    if (!context.plan.per_test_execution) {
      if (totals.stopped || budget_spent(context)) {
        totals.stopped = true;
        totals.not_launched(entry.matched);
        continue;
      }
      Result<LaunchResult> step = run_binary_filtered(context, entry);
      if (!step) return std::move(step).error();
      totals.take(std::move(*step));
      continue;
    }
    for (const std::string& name : entry.matched) {
      if (totals.stopped) {
        totals.not_launched({name});
        continue;
      }
      Result<LaunchResult> step = run_single_test(context, entry.binary, name);
      if (!step) return std::move(step).error();
      totals.take(std::move(*step));
    }
  }
  return ok_status();
}

void append_part(std::string& text, std::string_view part) {
  text += part;
  if (!text.ends_with('\n')) text.push_back('\n');
}

}  // namespace

Result<FilterRun> run_filtered_tests(const FilterPlan& plan, const ProgressSink& sink) {
  RunRequest request;
  request.argv = plan.build_argv;
  request.cwd = plan.cwd;
  request.sink = &sink;
  RunResult build = run_cargo_with_retry(request);
  if (!build) return std::move(build).error();
  std::string build_text = build_run_result(*build, plan.build_argv, plan.cwd);
  if (build->exit_code != 0) return FilterRun{std::move(build_text), build->exit_code};

  Result<TestEnvironment> environment = read_test_environment(plan.env_query, build->stdout_text);
  if (!environment) return std::move(environment).error();
  Result<FilterFindings> findings = enumerate_and_match(plan, build->stdout_text);
  if (!findings) return std::move(findings).error();

  LaunchContext context{plan, sink, *environment, std::nullopt};
  LaunchTotals totals;
  totals.exit_code = findings->enumeration_errors.empty() ? 0 : -1;
  if (Status launched = launch_all(context, *findings, totals); !launched)
    return std::move(launched).error();

  FilterRun run;
  run.exit_code = totals.exit_code;
  append_part(run.text, build_text);
  append_part(run.text, discovery_record(*findings));
  for (const std::string& line : totals.lines) append_part(run.text, line);
  append_part(run.text,
              summary_record(*findings, totals.exit_code, totals.launches, totals.not_run));
  append_part(run.text, status_line(totals.exit_code));
  return run;
}

}  // namespace tarnwick
