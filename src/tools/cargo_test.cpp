#include "tools/cargo_test.h"

#include <optional>
#include <string>
#include <utility>

#include "base/quoted.h"
#include "runner/output_file.h"
#include "runner/output_filters.h"
#include "runner/records.h"
#include "tools/args.h"
#include "tools/bisect_call.h"
#include "tools/build_tools.h"
#include "tools/dispatch.h"
#include "tools/flags.h"
#include "tools/progress_total.h"
#include "tools/test_filter_tool.h"
#include "tools/test_phases.h"

namespace tarnwick {
namespace {

constexpr std::string_view kNameAndFilterMessage =
    "test_name and filter are not supported together on cargo_test; `filter` is automatically "
    "treated as an alias for `test_name`, so supplying both is ambiguous. Pass just one.";
constexpr std::string_view kDocNoRunMessage =
    "no_run is not supported together with doc: true; cargo has no way to compile doctests "
    "without running them (\"can't skip running doc tests with --no-run\")";
constexpr std::string_view kDocTestTimeoutMessage =
    "test_timeout_secs is not supported together with doc: true; doctests run as a single phase "
    "with no separate build/execute split, so there is no distinct execution budget to "
    "override. Use timeout_secs instead.";

/// The switches and names of a plain cargo_test call, read once.
struct TestCall {
  CallPlaces places;
  std::optional<std::string> test_name;
  bool doc = false;
  bool no_run = false;
  bool exact = false;
  /// "test", "--message-format=json" and the shared groups, selector in front.
  ArgList base;
  PhaseBudgets budgets;
  /// From the call's start, with the build budget: counting packages spends
  /// the build phase's time.
  CallClock clock;
};

/// Reads the call and, once its budgets are known to be readable, tells the
/// progress display the package count.
Result<TestCall> read_test_call(const json& arguments, const ProgressSink* sink,
                                const platform::WorkingDir& working_dir) {
  Result<CallPlaces> places = read_call_places(arguments, working_dir);
  if (!places) return std::move(places).error();
  std::optional<std::string> selector = toolchain_selector(arguments);
  SelectionArgs sel = read_selection_args(arguments);

  std::optional<std::string> test_name = string_arg(arguments, "test_name");
  std::optional<std::string> filter = string_arg(arguments, "filter");
  if (test_name && filter) return make_error(std::string(kNameAndFilterMessage));

  TestCall call;
  call.places = std::move(*places);
  call.test_name = test_name ? test_name : filter;
  ArgList args{"test", "--message-format=json"};
  push_package_selection_args(args, arguments, sel);
  push_target_selection_args(args, arguments, sel);
  call.doc = parse_bool_arg(arguments, "doc");
  if (call.doc) args.push_back("--doc");
  if (parse_bool_arg(arguments, "no_fail_fast")) args.push_back("--no-fail-fast");
  push_feature_args(args, arguments, sel);
  push_build_profile_args(args, arguments, sel, /*allow_keep_going=*/false);
  LockSwitches locks = push_manifest_args(args, arguments, sel, /*allow_ignore_rust_version=*/true);
  call.base = with_selector(selector, std::move(args));
  call.no_run = parse_bool_arg(arguments, "no_run");
  call.exact = parse_bool_arg(arguments, "exact");

  Result<PhaseBudgets> budgets = parse_phase_timeouts(arguments);
  if (!budgets) return std::move(budgets).error();
  call.budgets = *budgets;
  call.clock = CallClock::start_now(call.budgets.build);
  compute_progress_total(sink, call.places.cwd, selector, sel.manifest_path, locks,
                         call.clock.deadline());
  return call;
}

/// The answer text of one shaped run, written to the output file when asked.
ToolOutcome test_answer(const RunOutput& output, const ArgList& argv, const CallPlaces& places) {
  Result<std::string> text = write_output_file_summary(
      build_run_result(output, argv, places.cwd), places.output_path, *places.working_dir, true);
  if (!text) return ToolFailed{std::move(text).error()};
  return ToolText{std::move(*text), output.exit_code != 0};
}

ToolOutcome run_build_then_tests(const TestCall& call, const ProgressSink* sink) {
  ArgList build_argv = call.base;
  build_argv.push_back("--no-run");
  RunResult build = run_phase(build_argv, call.places.cwd, call.budgets.build, false, sink,
                              kBuildPhase, call.clock.start);
  if (!build) return ToolFailed{std::move(build).error()};
  if (build->exit_code != 0 || call.no_run) return test_answer(*build, build_argv, call.places);

  ArgList test_argv = call.base;
  if (call.test_name || call.exact) test_argv.push_back("--");
  if (call.test_name) test_argv.push_back(*call.test_name);
  if (call.exact) test_argv.push_back("--exact");
  RunResult tests = run_phase(test_argv, call.places.cwd, call.budgets.execution, true, sink,
                              kTestExecutionPhase);
  if (!tests) return ToolFailed{std::move(tests).error()};
  return test_answer(merge_build_diagnostics(*build, *tests), test_argv, call.places);
}

ToolOutcome run_doc_tests(const TestCall& call, const json& arguments, const ProgressSink* sink) {
  if (call.no_run) return ToolFailed{make_error(std::string(kDocNoRunMessage))};
  Result<GivenSecs> test_timeout = parse_test_timeout_secs(arguments);
  if (!test_timeout) return ToolFailed{std::move(test_timeout).error()};
  if (*test_timeout) return ToolFailed{make_error(std::string(kDocTestTimeoutMessage))};

  ArgList argv = append_test_name_args(call.base, call.test_name, call.exact);
  RunResult run = run_phase(argv, call.places.cwd, call.budgets.build, false, sink, kDocTestPhase,
                            call.clock.start);
  if (!run) return ToolFailed{std::move(run).error()};
  return test_answer(*run, argv, call.places);
}

}  // namespace

ToolOutcome route_cargo_test(const json& arguments, const ProgressSink* sink,
                             const platform::WorkingDir& working_dir) {
  if (bisect_requested(arguments))
    return run_bisect_call(arguments, sink, /*check_doc=*/true, working_dir);
  if (given_arg(arguments, "test_filter")) return run_test_filter(arguments, sink, working_dir);
  return handle_cargo_test(arguments, sink, working_dir);
}

ToolOutcome handle_cargo_test(const json& arguments, const ProgressSink* sink,
                              const platform::WorkingDir& working_dir) {
  Result<TestCall> call = read_test_call(arguments, sink, working_dir);
  if (!call) return ToolFailed{std::move(call).error()};
  if (call->doc) return run_doc_tests(*call, arguments, sink);
  return run_build_then_tests(*call, sink);
}

}  // namespace tarnwick
