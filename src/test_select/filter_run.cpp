#include "test_select/filter_run.h"

#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <set>

#include "base/call_context.h"
#include "runner/invoke.h"
#include "runner/records.h"
#include "test_select/test_listing.h"

namespace tarnwick {
namespace {

using Clock = std::chrono::steady_clock;

/// What all launches of a call share.
struct LaunchContext {
  const FilterPlan& plan;
  const ProgressSink& sink;
  const FilterFindings& findings;
  /// Every test binary of the build.
  const std::vector<TestBinary>& built;
  /// Where each enumerated binary stands among `built`.
  const std::vector<size_t>& built_index;
  /// The first start of a test binary in any launch.
  std::optional<RunInstant> execution_start;
};

/// The kill instant of the overall budget, once the execution clock runs.
std::optional<SteadyInstant> budget_deadline(const LaunchContext& context) {
  if (!context.plan.overall_budget || !context.execution_start) return std::nullopt;
  return instant_after(*context.execution_start, *context.plan.overall_budget);
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
  std::vector<std::string> crashed;
};

void append_stderr_line(RunOutput& output, const std::string& line) {
  if (!output.stderr_text.empty() && !output.stderr_text.ends_with('\n'))
    output.stderr_text.push_back('\n');
  output.stderr_text += line;
}

/// The launch text of a run that did not finish, after what it showed.
std::string failed_launch_text(const std::vector<std::string>& argv, const FilterPlan& plan,
                               std::string_view what, const Error& error, RunOutput output = {}) {
  append_stderr_line(
      output, fmt::format("tarnwick test_filter: {} run failed: {}", what, error_text(error)));
  output.exit_code = -1;
  return build_run_result(output, argv, plan.run_base.cwd);
}

std::string joined(const std::vector<std::string>& names) {
  return fmt::format("{}", fmt::join(names, ", "));
}

/// The tests that were running when the binary died or exited before
/// libtest's closing section, noted in the launch's standard error. With one
/// test thread libtest names the test it started; tests run in parallel
/// leave every test without a result under suspicion.
std::vector<std::string> crashed_tests(const std::string& exe, const BinaryReport& report,
                                       RunOutput& output) {
  if (!report.ended() || report.run->status->success()) return {};
  const ExitStatus& status = *report.run->status;
  const std::string how =
      fmt::format("{} ({})", status.signalled ? "crashed" : "ended", describe_exit(status));
  if (report.libtest.closed) {
    if (status.signalled)
      append_stderr_line(output, fmt::format("tarnwick test_filter: test binary {} {} after "
                                             "libtest had reported every result",
                                             exe, how));
    return {};
  }
  std::vector<std::string> crashed = report.crashed();
  if (!crashed.empty()) {
    append_stderr_line(output, fmt::format("tarnwick test_filter: test binary {} {} while "
                                           "running {}",
                                           exe, how, joined(crashed)));
    return crashed;
  }
  // With one thread, the tests libtest did not name had not started.
  if (report.threads == TestThreads::One) return {};
  crashed = report.without_result;
  if (crashed.size() == 1) {
    append_stderr_line(output, fmt::format("tarnwick test_filter: test binary {} {} before "
                                           "libtest reported a result for {}",
                                           exe, how, crashed.front()));
  } else if (!crashed.empty()) {
    append_stderr_line(output, fmt::format("tarnwick test_filter: test binary {} {} before "
                                           "libtest reported a result for: {}; one of them "
                                           "caused it (with several test threads its output "
                                           "cannot tell which)",
                                           exe, how, joined(crashed)));
  }
  return crashed;
}

/// Reads what the launch's binary reported and notes, in the launch's
/// standard error, what it left without a result. Returns whether the
/// binary's run can be believed as a pass.
bool account_for_binary(const EnumeratedBinary& entry, const BinaryReport& report,
                        const LaunchRun& run, RunOutput& output, OneLaunch& result) {
  const std::string& exe = entry.binary.executable;
  if (!report.run) {
    append_stderr_line(
        output,
        fmt::format("tarnwick test_filter: test binary {} was not started ({}); "
                    "its selected test(s) did not run: {}",
                    exe, why_not_started(run, entry.binary), joined(report.without_result)));
    result.not_run.insert(result.not_run.end(), report.without_result.begin(),
                          report.without_result.end());
    return false;
  }
  if (report.passed()) return true;
  if (report.run->start_error) {
    append_stderr_line(output, fmt::format("tarnwick test_filter: test binary {} could not be "
                                           "started: {}",
                                           exe, *report.run->start_error));
  }
  std::vector<std::string> crashed = crashed_tests(exe, report, output);
  std::vector<std::string> not_run;
  for (const std::string& name : report.without_result)
    if (std::find(crashed.begin(), crashed.end(), name) == crashed.end()) not_run.push_back(name);
  if (!not_run.empty()) {
    append_stderr_line(
        output,
        fmt::format("tarnwick test_filter: {} selected test(s) did not run in this launch: {}",
                    not_run.size(), joined(not_run)));
  }
  if (report.ended() && report.run->status->success() && report.without_result.empty()) {
    append_stderr_line(output, report.libtest.last_count_ok == false
                                   ? "tarnwick test_filter: libtest's count line says FAILED, "
                                     "yet the binary's run ended with exit code 0, so this "
                                     "launch does not pass"
                                   : "tarnwick test_filter: libtest's count line is missing or "
                                     "does not agree with the tests it reported, so this "
                                     "launch's results are not trusted");
  }
  result.not_run.insert(result.not_run.end(), not_run.begin(), not_run.end());
  result.crashed.insert(result.crashed.end(), crashed.begin(), crashed.end());
  return false;
}

/// Binaries cargo ran that the build did not report: the runner let them
/// end unstarted, as no test of theirs was selected.
void note_unknown_binaries(const LaunchRun& run, RunOutput& output) {
  for (const std::string& path : run.seen.unknown)
    append_stderr_line(output, fmt::format("tarnwick test_filter: cargo also ran test binary {}, "
                                           "which the build did not report; it was not started",
                                           path));
}

/// The launch's answer: cargo's output with a note for every selected test
/// that has no result, and an exit code that is not 0 unless the binary
/// accounted for its tests.
void finish_launch(const LaunchContext& context, size_t index, const std::set<std::string>& given,
                   const LaunchRun& run, OneLaunch& result) {
  RunOutput output = launch_output(run);
  const EnumeratedBinary& entry = context.findings.binaries[index];
  BinaryReport report = report_binary(run, context.built_index[index], given);
  bool believed = account_for_binary(entry, report, run, output, result);
  note_unknown_binaries(run, output);
  if (output.exit_code == 0 && !believed) output.exit_code = -1;
  result.exit_code = output.exit_code;
  result.text = build_run_result(output, run.argv, context.plan.run_base.cwd);
}

/// Launches enumerated binary `index` for `names`. `watchdog` makes the
/// per-test budget a silence limit reset by libtest's progress lines;
/// otherwise it caps the binary. Both run from the binary's start.
Result<OneLaunch> launch(LaunchContext& context, size_t index,
                         const std::vector<std::string>& names, bool watchdog,
                         std::string_view what) {
  const FilterPlan& plan = context.plan;
  std::vector<std::string> args = filtered_launch_args(names, plan.include_ignored);
  const std::vector<std::string> argv = test_launch_argv(plan.run_base, args);
  OneLaunch result;
  std::optional<SteadyInstant> deadline = budget_deadline(context);
  if (deadline && Clock::now() >= *deadline) {
    Error spent = TimeoutError{Duration::from_chrono(Clock::now() - *context.execution_start)};
    result.text = failed_launch_text(argv, plan, what, spent);
    result.exit_code = -1;
    result.aborted = true;
    result.not_run = names;
    return result;
  }

  LaunchClocks clocks;
  clocks.per_binary = plan.per_test_budget;
  clocks.silence = watchdog;
  // A test's own output that looks like libtest's keeps no hang alive.
  clocks.names = std::set<std::string>(names.begin(), names.end());
  clocks.overall = plan.overall_budget;
  clocks.first_start = &context.execution_start;
  std::vector<bool> to_start(context.built.size(), false);
  to_start[context.built_index[index]] = true;
  Result<LaunchRun> run =
      run_test_launch(plan.run_base, context.built, to_start, args, clocks, context.sink);
  result.past_deadline = deadline && Clock::now() >= *deadline;
  if (!run) {
    if (is_error_kind<CancelledError>(run.error())) return std::move(run).error();
    result.text = failed_launch_text(argv, plan, what, run.error());
    result.exit_code = -1;
    result.not_run = names;
    return result;
  }
  std::set<std::string> given(names.begin(), names.end());
  if (run->stopped) {
    // What ran before the kill stays in the answer: the results libtest gave
    // and the last lines before the hang.
    result.text = failed_launch_text(argv, plan, what, *run->stopped, launch_output(*run));
    result.exit_code = -1;
    result.not_run = report_binary(*run, context.built_index[index], given).without_result;
    return result;
  }
  finish_launch(context, index, given, *run, result);
  return result;
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

/// The enumerated binaries, and where each stands among the build's.
struct Enumeration {
  FilterFindings findings;
  std::vector<size_t> built_index;
};

Result<Enumeration> enumerate_and_match(const FilterPlan& plan,
                                        const std::vector<TestBinary>& binaries) {
  Enumeration enumeration;
  FilterFindings& findings = enumeration.findings;
  findings.pattern = plan.pattern_text;
  findings.include_ignored = plan.include_ignored;
  auto listings = list_tests(plan.run_base, binaries, plan.include_ignored);
  if (!listings) return std::move(listings).error();
  for (size_t i = 0; i < binaries.size(); ++i) {
    Result<TestListing>& listing = (*listings)[i];
    if (!listing) {
      findings.enumeration_errors.push_back(
          enumeration_error(binaries[i].executable, listing.error()));
    } else {
      if (!listing->listable) findings.not_listed.push_back(binaries[i]);
      findings.binaries.push_back(EnumeratedBinary{binaries[i], std::move(listing->names), {}});
      enumeration.built_index.push_back(i);
    }
  }
  if (cancel_requested()) return CancelledError{};
  match_tests(findings.binaries, *plan.pattern);
  findings.launches_planned = count_planned_launches(findings.binaries, plan.per_test_execution);
  return enumeration;
}

/// What the launches over all binaries did.
struct LaunchTotals {
  std::vector<std::string> lines;
  LaunchTally tally;
  bool stopped = false;

  void take(OneLaunch&& one) {
    lines.push_back(std::move(one.text));
    tally.launches += 1;
    if (one.exit_code != 0 && tally.exit_code == 0) tally.exit_code = one.exit_code;
    tally.not_run.insert(tally.not_run.end(), one.not_run.begin(), one.not_run.end());
    tally.crashed.insert(tally.crashed.end(), one.crashed.begin(), one.crashed.end());
  }

  /// Names the budget left unlaunched: they did not run, so the call fails.
  void not_launched(const std::vector<std::string>& names) {
    tally.not_run.insert(tally.not_run.end(), names.begin(), names.end());
    if (tally.exit_code == 0) tally.exit_code = -1;
  }
};

Status launch_batched(LaunchContext& context, size_t index, LaunchTotals& totals) {
  const std::vector<std::string>& names = context.findings.binaries[index].matched;
  if (totals.stopped || budget_spent(context)) {
    totals.stopped = true;
    totals.not_launched(names);
    return ok_status();
  }
  for (const std::vector<std::string>& group : cut_launch_groups(names)) {
    if (totals.stopped) {
      totals.not_launched(group);
      continue;
    }
    Result<OneLaunch> one = launch(context, index, group, true, "per-binary");
    if (!one) return std::move(one).error();
    totals.stopped = one->aborted;
    totals.take(std::move(*one));
  }
  return ok_status();
}

Status launch_one_by_one(LaunchContext& context, size_t index, LaunchTotals& totals) {
  for (const std::string& name : context.findings.binaries[index].matched) {
    if (totals.stopped) {
      totals.not_launched({name});
      continue;
    }
    Result<OneLaunch> one = launch(context, index, {name}, false, "per-test");
    if (!one) return std::move(one).error();
    totals.stopped = one->aborted || one->past_deadline;
    totals.take(std::move(*one));
  }
  return ok_status();
}

Status launch_all(LaunchContext& context, LaunchTotals& totals) {
  for (size_t index = 0; index < context.findings.binaries.size(); ++index) {
    if (context.findings.binaries[index].matched.empty()) continue;
    Status launched = context.plan.per_test_execution ? launch_one_by_one(context, index, totals)
                                                      : launch_batched(context, index, totals);
    if (!launched) return launched;
  }
  return ok_status();
}

void append_part(std::string& text, std::string_view part) {
  text += part;
  if (!text.ends_with('\n')) text.push_back('\n');
}

}  // namespace

Result<FilterRun> run_filtered_tests(FilterPlan plan, const ProgressSink& sink) {
  const std::optional<std::string>& cwd = plan.run_base.cwd;
  HostProbe host = start_runner_probe(plan.run_base);
  RunRequest request;
  request.argv = plan.build_argv;
  request.cwd = cwd;
  request.sink = &sink;
  request.timeout = plan.build_budget;
  RunResult build = run_cargo_with_retry(request);
  if (!build && is_error_kind<TimeoutError>(build.error()))
    return PhaseTimeoutError{std::get<TimeoutError>(build.error()).elapsed, "build"};
  if (!build) return std::move(build).error();
  std::string build_text = build_run_result(*build, plan.build_argv, cwd);
  if (build->exit_code != 0 || plan.no_run)
    return FilterRun{std::move(build_text), build->exit_code};

  const std::vector<TestBinary> binaries = parse_test_artifacts(build->stdout_text);
  if (Status prepared = prepare_test_runner(plan.run_base, host); !prepared)
    return std::move(prepared).error();
  Result<Enumeration> enumeration = enumerate_and_match(plan, binaries);
  if (!enumeration) return std::move(enumeration).error();
  const FilterFindings& findings = enumeration->findings;

  LaunchContext context{plan, sink, findings, binaries, enumeration->built_index, std::nullopt};
  LaunchTotals totals;
  totals.tally.exit_code = findings.enumeration_errors.empty() ? 0 : -1;
  if (Status launched = launch_all(context, totals); !launched) return std::move(launched).error();

  FilterRun run;
  run.exit_code = totals.tally.exit_code;
  append_part(run.text, build_text);
  append_part(run.text, discovery_record(findings));
  run.text += coverage_notes("test_filter", findings.not_listed,
                             "run cargo_test without test_filter to run it whole",
                             plan.default_targets, binaries);
  for (const std::string& line : totals.lines) append_part(run.text, line);
  append_part(run.text, summary_record(findings, std::move(totals.tally)));
  append_part(run.text, status_line(run.exit_code));
  return run;
}

}  // namespace tarnwick
