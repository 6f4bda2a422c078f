#include "tools/test_filter_tool.h"

#include <memory>
#include <utility>

#include "base/call_context.h"
#include "base/quoted.h"
#include "base/settings.h"
#include "platform/environment.h"
#include "runner/output_file.h"
#include "test_select/filter_run.h"
#include "test_select/pattern.h"
#include "tools/args.h"
#include "tools/build_tools.h"
#include "tools/dispatch.h"
#include "tools/flags.h"

namespace tarnwick {
namespace {

constexpr std::string_view kDocMessage =
    "doc: true is not supported together with test_filter; doctests have no --list/--exact "
    "support and are always excluded from filter selection, so this combination would silently "
    "run non-doctests instead of the doctests you asked for. Run doctests without test_filter "
    "instead.";
constexpr std::string_view kTestTimeoutMessage =
    "test_timeout_secs is not supported together with test_filter; filter mode already has its "
    "own `timeout_secs` (overall) / `per_test_timeout_secs` (per-invocation) budget pair instead "
    "of the plain build/execute phase split. Use those instead.";

/// The per-test budget when the call gives none and the server has no default.
constexpr uint64_t kDefaultPerTestSecs = 30;

/// `per_test_timeout_secs`: absent or null gives the server's default test
/// timeout, else 30 seconds; a non-negative integer n gives n seconds, 0
/// meaning no limit; anything else is refused.
Result<OptionalTimeout> read_per_test_budget(const json& arguments) {
  Result<GivenSecs> given = read_secs_arg(arguments, "per_test_timeout_secs");
  if (!given) return std::move(given).error();
  if (!*given) {
    uint64_t fallback = runtime_settings().test_timeout_secs;
    return OptionalTimeout{Duration::from_secs(fallback ? fallback : kDefaultPerTestSecs)};
  }
  if (**given == 0) return OptionalTimeout{};
  return OptionalTimeout{Duration::from_secs(**given)};
}

/// The checks that come before the pattern is compiled.
Result<std::string> read_pattern_text(const json& arguments) {
  if (parse_bool_arg(arguments, "doc")) return make_error(std::string(kDocMessage));
  Result<GivenSecs> test_timeout = parse_test_timeout_secs(arguments);
  if (!test_timeout) return std::move(test_timeout).error();
  if (*test_timeout) return make_error(std::string(kTestTimeoutMessage));

  return read_test_filter_pattern(*find_member(arguments, "test_filter"));
}

/// A call's plan with the compiled pattern it points to and where the answer goes.
struct FilterCall {
  std::unique_ptr<RE2> pattern;
  FilterPlan plan;
  CallPlaces places;
};

Result<FilterCall> read_filter_call(const json& arguments,
                                    const platform::WorkingDir& working_dir) {
  Result<std::string> pattern_text = read_pattern_text(arguments);
  if (!pattern_text) return std::move(pattern_text).error();
  Result<std::unique_ptr<RE2>> pattern = compile_test_pattern(*pattern_text);
  if (!pattern) return std::move(pattern).error();

  FilterCall call;
  call.pattern = std::move(*pattern);
  call.plan.pattern_text = std::move(*pattern_text);
  call.plan.pattern = call.pattern.get();
  call.plan.include_ignored =
      parse_bool_arg(*find_member(arguments, "test_filter"), "include_ignored");
  Result<CallPlaces> places = read_call_places(arguments, working_dir);
  if (!places) return std::move(places).error();
  call.places = std::move(*places);

  TestSelection selection = read_test_selection(arguments, call.places.cwd);
  call.plan.build_argv = std::move(selection.build_argv);
  call.plan.run_base = std::move(selection.run_base);
  call.plan.default_targets = selection.default_targets;
  Result<OptionalTimeout> overall = parse_timeout_secs(arguments);
  if (!overall) return std::move(overall).error();
  // Each phase has the whole of timeout_secs: the build first, then the launches.
  call.plan.build_budget = *overall;
  call.plan.overall_budget = *overall;
  Result<OptionalTimeout> per_test = read_per_test_budget(arguments);
  if (!per_test) return std::move(per_test).error();
  call.plan.per_test_budget = *per_test;
  call.plan.per_test_execution = runtime_settings().per_test_execution;
  call.plan.no_run = parse_bool_arg(arguments, "no_run");
  return call;
}

}  // namespace

ToolOutcome run_test_filter(const json& arguments, const ProgressSink* sink,
                            const platform::WorkingDir& working_dir) {
  Result<FilterCall> call = read_filter_call(arguments, working_dir);
  if (!call) return ToolFailed{std::move(call).error()};
  Result<FilterRun> run = run_filtered_tests(call->plan, sink ? *sink : null_sink());
  if (!run) return ToolFailed{std::move(run).error()};
  Result<std::string> text =
      write_output_file_summary(std::move(run->text), call->places.output_path, working_dir,
                                /*test_markers=*/true);
  if (!text) return ToolFailed{std::move(text).error()};
  return ToolText{std::move(*text), run->exit_code != 0};
}

}  // namespace tarnwick
