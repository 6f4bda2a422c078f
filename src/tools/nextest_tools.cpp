#include "tools/nextest_tools.h"

#include <fmt/format.h>

#include <chrono>
#include <initializer_list>
#include <optional>
#include <string>
#include <utility>

#include "base/quoted.h"
#include "runner/invoke.h"
#include "runner/output_file.h"
#include "runner/output_filters.h"
#include "runner/records.h"
#include "tools/args.h"
#include "tools/bisect_call.h"
#include "tools/build_tools.h"
#include "tools/dispatch.h"
#include "tools/flags.h"
#include "tools/nextest_args.h"
#include "tools/test_phases.h"

namespace tarnwick {
namespace {

/// `head`, the nextest profile, then the build-selection groups of both
/// tools in their fixed order, with the toolchain selector in front.
ArgList nextest_command(std::initializer_list<const char*> head, const json& arguments,
                        const NextestArgs& nextest) {
  const std::optional<std::string> selector = toolchain_selector(arguments);
  const SelectionArgs sel = read_selection_args(arguments);
  ArgList args(head.begin(), head.end());
  push_value(args, "--profile", nextest.nextest_profile);
  push_package_selection_args(args, arguments, sel);
  push_target_selection_args(args, arguments, sel);
  push_feature_args(args, arguments, sel);
  push_nextest_build_args(args, arguments, nextest.cargo_profile, nextest.build_jobs, sel.target,
                          sel.target_dir);
  push_manifest_args(args, arguments, sel, /*allow_ignore_rust_version=*/true);
  return with_selector(selector, std::move(args));
}

Status check_run_ignored(const NextestArgs& nextest) {
  if (!nextest.run_ignored) return ok_status();
  const std::string& value = *nextest.run_ignored;
  if (value == "default" || value == "only" || value == "all") return ok_status();
  return make_error(
      fmt::format("run_ignored must be one of \"default\", \"only\", or \"all\"; got {}",
                  tarnwick::quoted(value)));
}

Status check_list_type(const NextestArgs& nextest) {
  if (!nextest.list_type) return ok_status();
  const std::string& value = *nextest.list_type;
  if (value == "full" || value == "binaries-only") return ok_status();
  return make_error(fmt::format("list_type must be \"full\" or \"binaries-only\"; got {}",
                                tarnwick::quoted(value)));
}

/// The base command followed by the switches, counts and selections of the
/// test-execution run.
ArgList execution_command(ArgList args, const json& arguments, const NextestArgs& nextest) {
  if (parse_bool_arg(arguments, "no_fail_fast")) args.emplace_back("--no-fail-fast");
  if (parse_bool_arg(arguments, "no_capture")) args.emplace_back("--no-capture");
  push_value(args, "--test-threads", nextest.test_threads);
  push_value(args, "--retries", nextest.retries);
  push_value(args, "--run-ignored", nextest.run_ignored);
  push_value(args, "-E", nextest.filter_expr);
  if (nextest.filter) args.push_back(*nextest.filter);
  return args;
}

/// The answer of a nextest run, written to the output file when asked for.
ToolOutcome run_answer(const RunOutput& output, const ArgList& argv, const CallPlaces& places) {
  Result<std::string> text = write_output_file_summary(
      build_nextest_run_result(output, argv, places.cwd), places.output_path, *places.working_dir,
      /*test_markers=*/true);
  if (!text) return ToolFailed{std::move(text).error()};
  return ToolText{std::move(*text), output.exit_code != 0};
}

/// The answer when nextest cannot be used: the install text (saying so when
/// the probe hung rather than failed), the cancellation when the client cut
/// the probe short, or the build phase's timeout when the call's own time
/// (`clock`, that of the build phase) ran out during the probe.
std::optional<ToolOutcome> nextest_unusable(Duration probe_limit, const CallClock& clock) {
  switch (probe_nextest(probe_limit, clock.deadline())) {
    case NextestProbe::Installed:
      return std::nullopt;
    case NextestProbe::Missing:
      return ToolText{nextest_not_installed_message(), true};
    case NextestProbe::Hung:
      return ToolText{nextest_hung_message(probe_limit), true};
    case NextestProbe::OutOfTime:
      return ToolFailed{
          PhaseTimeoutError{Duration::from_chrono(std::chrono::steady_clock::now() - clock.start),
                            std::string(kBuildPhase)}};
    case NextestProbe::Cancelled:
      break;
  }
  return ToolFailed{CancelledError{}};
}

}  // namespace

ToolOutcome run_cargo_nextest_run(const json& arguments, const ProgressSink* sink,
                                  const platform::WorkingDir& working_dir, Duration probe_limit) {
  const bool bisect = bisect_requested(arguments);
  Result<PhaseBudgets> budgets = parse_phase_timeouts(arguments);
  // The build phase's time runs from the call's start, so the probe spends
  // it too, whatever runs after it.
  const CallClock clock = CallClock::start_now(budgets ? budgets->build : OptionalTimeout{});
  if (auto refused = nextest_unusable(probe_limit, clock)) return *refused;
  // The bisection engine runs the test binaries itself; nextest plays no part.
  if (bisect) return run_bisect_call(arguments, sink, /*check_doc=*/false, working_dir);

  Result<CallPlaces> places = read_call_places(arguments, working_dir);
  if (!places) return ToolFailed{std::move(places).error()};
  Result<NextestArgs> nextest = read_nextest_selection(arguments);
  if (!nextest) return ToolFailed{std::move(nextest).error()};
  if (Status checked = check_run_ignored(*nextest); !checked)
    return ToolFailed{std::move(checked).error()};
  const ArgList base =
      nextest_command({"nextest", "run", "--cargo-message-format=json"}, arguments, *nextest);
  if (!budgets) return ToolFailed{std::move(budgets).error()};

  ArgList build_args = base;
  build_args.emplace_back("--no-run");
  RunResult build = run_phase(build_args, places->cwd, budgets->build, /*phased=*/false, sink,
                              kBuildPhase, clock.start);
  if (!build) return ToolFailed{std::move(build).error()};
  if (build->exit_code != 0 || parse_bool_arg(arguments, "no_run"))
    return run_answer(*build, build_args, *places);

  const ArgList test_args = execution_command(base, arguments, *nextest);
  RunResult test = run_phase(test_args, places->cwd, budgets->execution, /*phased=*/true, sink,
                             kTestExecutionPhase);
  if (!test) return ToolFailed{std::move(test).error()};
  return run_answer(merge_build_diagnostics(*build, *test), test_args, *places);
}

ToolOutcome run_cargo_nextest_list(const json& arguments, Duration probe_limit) {
  // The list runs without a deadline; only the probe's limit and a
  // cancellation end the probe.
  if (auto refused = nextest_unusable(probe_limit, CallClock::start_now(std::nullopt)))
    return *refused;

  const std::optional<std::string> cwd = string_arg(arguments, "working_dir");
  Result<NextestArgs> nextest = read_nextest_selection(arguments);
  if (!nextest) return ToolFailed{std::move(nextest).error()};
  if (Status checked = check_list_type(*nextest); !checked)
    return ToolFailed{std::move(checked).error()};

  ArgList args = nextest_command(
      {"nextest", "list", "--message-format", "json", "--cargo-message-format=json"}, arguments,
      *nextest);
  // run_ignored is not checked here: nextest reports a bad value itself.
  push_value(args, "--run-ignored", nextest->run_ignored);
  push_value(args, "-E", nextest->filter_expr);
  push_value(args, "--list-type", nextest->list_type);
  if (nextest->filter) args.push_back(*nextest->filter);

  RunRequest request;
  request.argv = args;
  request.cwd = cwd;
  RunResult run = run_cargo_with_retry(request);
  if (!run) return ToolFailed{std::move(run).error()};
  return ToolText{nextest_list_result(*run, args, cwd), run->exit_code != 0};
}

}  // namespace tarnwick
