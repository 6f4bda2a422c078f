#include "tools/bisect_call.h"

#include <utility>

#include "test_select/bisect.h"
#include "tools/args.h"
#include "tools/build_tools.h"
#include "tools/dispatch.h"
#include "tools/flags.h"

namespace tarnwick {
namespace {

constexpr const char* kDocRefused =
    "doc: true is not supported together with bisect; the bisection engine builds with `cargo "
    "test --no-run` and never adds `--doc`, so this combination would silently run non-doctests "
    "instead of bisecting the doctests you asked for. Run doctests without bisect instead.";

constexpr const char* kTestTimeoutRefused =
    "test_timeout_secs is not supported together with bisect; the bisection engine has its own "
    "`group_timeout_secs` / `slow_threshold_secs` budget model instead of the build/execute phase "
    "split. Use those instead.";

}  // namespace

bool bisect_requested(const json& arguments) { return given_arg(arguments, "bisect") != nullptr; }

std::optional<ToolOutcome> run_bisect(const json& arguments, const ProgressSink* sink,
                                      const platform::WorkingDir& working_dir) {
  const json* bisect = find_member(arguments, "bisect");
  if (!bisect) return std::nullopt;
  Result<BisectConfig> config = read_bisect_config(*bisect);
  if (!config) return ToolFailed{std::move(config).error()};
  Result<CallPlaces> places = read_call_places(arguments, working_dir);
  if (!places) return ToolFailed{std::move(places).error()};

  TestSelection selection = read_test_selection(arguments, places->cwd);
  BisectRequest request{std::move(*config), std::move(selection.build_argv),
                        std::move(selection.run_base), selection.default_targets,
                        places->output_path};
  request.working_dir = &working_dir;
  Result<BisectAnswer> answer = run_bisect_engine(request, sink ? *sink : null_sink());
  if (!answer) return ToolFailed{std::move(answer).error()};
  return ToolText{std::move(answer->text), answer->is_error};
}

ToolOutcome run_bisect_call(const json& arguments, const ProgressSink* sink, bool check_doc,
                            const platform::WorkingDir& working_dir) {
  if (check_doc && parse_bool_arg(arguments, "doc")) return ToolFailed{make_error(kDocRefused)};
  Result<GivenSecs> test_timeout = parse_test_timeout_secs(arguments);
  if (!test_timeout) return ToolFailed{std::move(test_timeout).error()};
  if (*test_timeout) return ToolFailed{make_error(kTestTimeoutRefused)};
  std::optional<ToolOutcome> outcome = run_bisect(arguments, sink, working_dir);
  if (!outcome) {
    return ToolFailed{make_error("bisect requested but the bisection engine returned no result")};
  }
  return std::move(*outcome);
}

}  // namespace tarnwick
