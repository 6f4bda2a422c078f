#include "tools/build_tools.h"

#include <optional>
#include <string>
#include <utility>

#include "runner/invoke.h"
#include "runner/output_file.h"
#include "runner/records.h"
#include "suggest/suggest.h"
#include "tools/args.h"
#include "tools/dispatch.h"
#include "tools/flags.h"
#include "tools/plain_run.h"
#include "tools/progress_total.h"

namespace tarnwick {
namespace {

const ProgressSink* sink_or_null(const ProgressSink* sink) { return sink ? sink : &null_sink(); }

RunResult run_once(const ArgList& argv, const std::optional<std::string>& cwd,
                   const CallClock& clock, const ProgressSink* sink,
                   const OutputWatcher* watcher = nullptr) {
  RunRequest request;
  request.argv = argv;
  request.cwd = cwd;
  request.timeout = clock.timeout;
  request.phased = false;
  request.sink = sink_or_null(sink);
  request.clock_start = clock.start;
  request.watcher = watcher;
  return run_cargo_with_retry(request);
}

/// A build-style command line and what counting its packages needs.
struct BuildCommand {
  ArgList args;
  std::optional<std::string> selector;
  LockSwitches locks;
};

/// Closes a build-style command line: features, build profile with
/// `keep_going`, manifest and lock flags, the toolchain selector in front.
BuildCommand finish_build_command(ArgList args, const json& arguments, const SelectionArgs& sel) {
  BuildCommand command;
  command.selector = toolchain_selector(arguments);
  push_feature_args(args, arguments, sel);
  push_build_profile_args(args, arguments, sel, /*allow_keep_going=*/true);
  command.locks = push_manifest_args(args, arguments, sel, /*allow_ignore_rust_version=*/true);
  command.args = with_selector(command.selector, std::move(args));
  return command;
}

/// Tells the progress display the package count, counted with the command's
/// manifest and lock flags, within the call's own time.
void tell_package_count(const BuildCommand& command, const SelectionArgs& sel,
                        const CallPlaces& places, const CallClock& clock,
                        const ProgressSink* sink) {
  compute_progress_total(sink, places.cwd, command.selector, sel.manifest_path, command.locks,
                         clock.deadline());
}

/// A build-style run's answer, already written to the output file when one
/// was asked for.
struct BuildAnswer {
  int32_t exit_code = 0;
  std::string text;
  std::vector<Suggestion> suggestions;
};

Result<BuildAnswer> run_for_diagnostics(const ArgList& args, const CallPlaces& places,
                                        const CallClock& clock, const ProgressSink* sink,
                                        bool with_suggestions) {
  // The lines are read as cargo writes them, so little is left for its end.
  DiagnosticsReading reading(with_suggestions);
  const OutputWatcher watcher = [&reading](std::string_view line, size_t offset) {
    reading.take_line(line, offset);
  };
  RunResult run = run_once(args, places.cwd, clock, sink, &watcher);
  if (!run) return std::move(run).error();
  BuildAnswer answer;
  answer.exit_code = run->exit_code;
  DiagnosticsAnswer built =
      build_diagnostics_answer(std::move(*run), args, places.cwd, std::move(reading));
  Result<std::string> text = write_output_file_summary(std::move(built.text), places.output_path,
                                                       *places.working_dir, false);
  if (!text) return std::move(text).error();
  answer.text = std::move(*text);
  answer.suggestions = std::move(built.suggestions);
  return answer;
}

}  // namespace

CallClock CallClock::start_now(OptionalTimeout timeout) {
  return CallClock{std::chrono::steady_clock::now(), timeout};
}

Deadline CallClock::deadline() const {
  if (!timeout) return Deadline::never();
  Deadline deadline = Deadline::after(*timeout);  // never when too far for the clock
  if (!deadline.infinite) deadline.at = start + timeout->to_chrono();
  return deadline;
}

ArgList with_selector(const std::optional<std::string>& selector, ArgList args) {
  if (selector) args.insert(args.begin(), *selector);
  return args;
}

TestSelection read_test_selection(const json& arguments, const std::optional<std::string>& cwd) {
  const SelectionArgs sel = read_selection_args(arguments);
  TestSelection selection;
  TestRunBase& base = selection.run_base;
  base.toolchain = toolchain_selector(arguments);
  push_package_selection_args(base.packages, arguments, sel);
  push_feature_args(base.build_flags, arguments, sel);
  push_build_profile_args(base.build_flags, arguments, sel, /*allow_keep_going=*/false);
  push_manifest_args(base.build_flags, arguments, sel, /*allow_ignore_rust_version=*/true);
  base.cwd = cwd;
  ArgList targets;
  push_target_selection_args(targets, arguments, sel);
  selection.default_targets = targets.empty();
  base.targets = targets;
  if (sel.target) base.build_targets.push_back(*sel.target);

  ArgList& argv = selection.build_argv;
  argv = {"test", "--no-run", "--message-format=json"};
  argv.insert(argv.end(), base.packages.begin(), base.packages.end());
  argv.insert(argv.end(), targets.begin(), targets.end());
  argv.insert(argv.end(), base.build_flags.begin(), base.build_flags.end());
  argv = with_selector(base.toolchain, std::move(argv));
  return selection;
}

Result<CallPlaces> read_call_places(const json& arguments,
                                    const platform::WorkingDir& working_dir) {
  CallPlaces places{string_arg(arguments, "working_dir"), string_arg(arguments, "output_path"),
                    &working_dir};
  if (places.output_path) {
    Status checked = check_output_target("output_path", *places.output_path, working_dir);
    if (!checked) return std::move(checked).error();
  }
  return places;
}

ToolOutcome run_build_tool(std::string_view subcommand, const json& arguments,
                           const ProgressSink* sink, const platform::WorkingDir& working_dir) {
  Result<CallPlaces> places = read_call_places(arguments, working_dir);
  if (!places) return ToolFailed{std::move(places).error()};

  ArgList args{std::string(subcommand), "--message-format=json"};
  SelectionArgs sel = read_selection_args(arguments);
  push_package_selection_args(args, arguments, sel);
  push_target_selection_args(args, arguments, sel);
  const BuildCommand command = finish_build_command(std::move(args), arguments, sel);

  Result<OptionalTimeout> timeout = parse_timeout_secs(arguments);
  if (!timeout) return ToolFailed{std::move(timeout).error()};
  const CallClock clock = CallClock::start_now(*timeout);
  tell_package_count(command, sel, *places, clock, sink);

  bool with_suggestions = subcommand != "build";
  Result<BuildAnswer> answer =
      run_for_diagnostics(command.args, *places, clock, sink, with_suggestions);
  if (!answer) return ToolFailed{std::move(answer).error()};
  bool is_error = answer->exit_code != 0;
  if (!with_suggestions) return ToolText{std::move(answer->text), is_error};
  return ToolTextWithSuggestions{std::move(answer->text), std::move(answer->suggestions), is_error};
}

ToolOutcome run_cargo_doc(const json& arguments, const ProgressSink* sink,
                          const platform::WorkingDir& working_dir) {
  Result<CallPlaces> places = read_call_places(arguments, working_dir);
  if (!places) return ToolFailed{std::move(places).error()};

  ArgList args{"doc", "--message-format=json"};
  SelectionArgs sel = read_selection_args(arguments);
  push_package_selection_args(args, arguments, sel);
  if (parse_bool_arg(arguments, "lib")) args.push_back("--lib");
  if (parse_bool_arg(arguments, "bins")) args.push_back("--bins");
  if (sel.bin) args.insert(args.end(), {"--bin", *sel.bin});
  if (parse_bool_arg(arguments, "examples")) args.push_back("--examples");
  if (sel.example) args.insert(args.end(), {"--example", *sel.example});
  if (parse_bool_arg(arguments, "no_deps")) args.push_back("--no-deps");
  if (parse_bool_arg(arguments, "document_private_items"))
    args.push_back("--document-private-items");
  const BuildCommand command = finish_build_command(std::move(args), arguments, sel);
  const CallClock clock = CallClock::start_now(std::nullopt);
  tell_package_count(command, sel, *places, clock, sink);

  Result<BuildAnswer> answer = run_for_diagnostics(command.args, *places, clock, sink, false);
  if (!answer) return ToolFailed{std::move(answer).error()};
  return ToolText{std::move(answer->text), answer->exit_code != 0};
}

ToolOutcome run_cargo_tree(const json& arguments) {
  std::optional<std::string> cwd = string_arg(arguments, "working_dir");
  std::optional<std::string> selector = toolchain_selector(arguments);

  ArgList args{"tree"};
  SelectionArgs sel = read_selection_args(arguments);
  push_package_selection_args(args, arguments, sel);
  if (std::optional<std::string> invert = string_arg(arguments, "invert"))
    args.insert(args.end(), {"--invert", *invert});
  if (parse_bool_arg(arguments, "duplicates")) args.push_back("--duplicates");
  if (std::optional<std::string> depth = int64_text_arg(arguments, "depth"))
    args.insert(args.end(), {"--depth", *depth});
  push_feature_args(args, arguments, sel);
  if (sel.target) args.insert(args.end(), {"--target", *sel.target});
  push_manifest_args(args, arguments, sel, /*allow_ignore_rust_version=*/false);
  return plain_outcome(with_selector(selector, std::move(args)), cwd);
}

ToolOutcome run_cargo_update(const json& arguments) {
  std::optional<std::string> cwd = string_arg(arguments, "working_dir");
  std::optional<std::string> package = string_arg(arguments, "package");
  std::optional<std::string> precise = string_arg(arguments, "precise");
  if (precise && !package)
    return ToolFailed{
        make_error("`precise` requires `package` \u2014 specify the crate name to pin")};
  ArgList args{"update"};
  if (package) {
    args.insert(args.end(), {"--package", *package});
    if (precise) args.insert(args.end(), {"--precise", *precise});
  }
  return plain_outcome(args, cwd);
}

ToolOutcome run_cargo_publish(const json& arguments) {
  std::optional<std::string> cwd = string_arg(arguments, "working_dir");
  ArgList args{"publish"};
  if (std::optional<std::string> package = string_arg(arguments, "package"))
    args.insert(args.end(), {"--package", *package});
  if (parse_bool_arg(arguments, "dry_run")) args.push_back("--dry-run");
  if (parse_bool_arg(arguments, "allow_dirty")) args.push_back("--allow-dirty");
  return plain_outcome(args, cwd);
}

}  // namespace tarnwick
