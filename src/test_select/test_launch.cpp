#include "test_select/test_launch.h"

#include <fmt/format.h>

#include <algorithm>
#include <chrono>

#include "base/json_text.h"
#include "base/quoted.h"
#include "base/text_lines.h"
#include "runner/invoke.h"
#include "runner/libtest_output.h"

namespace tarnwick {
namespace {

using Clock = std::chrono::steady_clock;

/// The clocks of a launch; they start with each binary the stream sees cargo
/// start, and the stream must outlive them.
RunClocks run_clocks(const LaunchClocks& clocks, const CargoTestStream& stream) {
  auto starts_binary = [&stream](std::string_view line) { return stream.starts_binary(line); };
  RunClocks run;
  run.phase_boundary = [starts_binary, first = clocks.first_start](std::string_view line) {
    if (!starts_binary(line)) return false;
    if (first && !*first) *first = Clock::now();
    return true;
  };
  run.timeout = clocks.overall;
  if (clocks.overall && clocks.first_start && *clocks.first_start)
    run.deadline = instant_after(**clocks.first_start, *clocks.overall);
  run.idle_timeout = clocks.per_binary;
  if (clocks.silence) {
    run.idle_restart = [starts_binary](std::string_view line) {
      return starts_binary(line) || is_libtest_progress_line(line);
    };
  } else {
    run.idle_restart = starts_binary;
  }
  return run;
}

}  // namespace

std::vector<std::string> test_launch_argv(const TestRunBase& base,
                                          const std::vector<std::string>& selectors,
                                          const std::vector<std::string>& libtest_args) {
  std::vector<std::string> argv;
  if (base.toolchain) argv.push_back(*base.toolchain);
  argv.insert(argv.end(), {"test", "--message-format=json"});
  argv.insert(argv.end(), base.packages.begin(), base.packages.end());
  argv.insert(argv.end(), selectors.begin(), selectors.end());
  argv.insert(argv.end(), base.build_flags.begin(), base.build_flags.end());
  // The lines read here are cargo's own in one form, whatever the user's
  // configuration or environment says: no colour, no progress bar (which
  // would share a line with the JSON messages), and neither quiet (no
  // "Running" lines) nor verbose.
  argv.insert(argv.end(),
              {"--no-fail-fast", "--color", "never", "--config", "term.progress.when=\"never\"",
               "--config", "term.quiet=false", "--config", "term.verbose=false", "--"});
  argv.insert(argv.end(), libtest_args.begin(), libtest_args.end());
  return argv;
}

std::vector<std::string> selectors_of(const std::vector<const TestBinary*>& binaries) {
  std::vector<std::vector<std::string>> seen;
  std::vector<std::string> args;
  for (const TestBinary* binary : binaries) {
    std::vector<std::string> selector = cargo_target_selector(*binary);
    if (std::find(seen.begin(), seen.end(), selector) != seen.end()) continue;
    args.insert(args.end(), selector.begin(), selector.end());
    seen.push_back(std::move(selector));
  }
  return args;
}

std::vector<KnownBinary> known_binaries(const std::vector<TestBinary>& binaries) {
  std::vector<KnownBinary> known;
  known.reserve(binaries.size());
  for (const TestBinary& binary : binaries)
    known.push_back(KnownBinary{binary.executable,
                                fmt::format("{}", fmt::join(cargo_target_selector(binary), " "))});
  return known;
}

Result<LaunchRun> run_test_launch(const TestRunBase& base, std::vector<KnownBinary> known,
                                  const std::vector<std::string>& selectors,
                                  const std::vector<std::string>& libtest_args,
                                  const LaunchClocks& clocks, const ProgressSink& sink,
                                  StreamFormat format) {
  LaunchRun launch{test_launch_argv(base, selectors, libtest_args),
                   CargoTestStream(std::move(known), format), -1, std::nullopt};
  CargoTestStream& stream = launch.stream;
  // A run shows every line again from offset 0 when it changed its output.
  OutputWatcher watcher = [&stream, seen = false](std::string_view line, size_t offset) mutable {
    if (offset == 0 && seen) stream = CargoTestStream(stream.known(), stream.format());
    seen = true;
    stream.take(line, Clock::now());
  };
  RunRequest request;
  request.argv = launch.argv;
  request.cwd = base.cwd;
  request.sink = &sink;
  request.watcher = &watcher;
  request.stderr_into_stdout = true;
  RunResult run = run_cargo_once(request, run_clocks(clocks, stream));
  if (!run) {
    if (!is_error_kind<TimeoutError>(run.error())) return std::move(run).error();
    stream.finish(Clock::now(), false);
    launch.stopped = std::move(run).error();
    return launch;
  }
  stream.finish(Clock::now(), true);
  launch.exit_code = run->exit_code;
  return launch;
}

std::string why_not_started(const LaunchRun& run) {
  std::vector<std::string> errors;
  for (std::string_view line : split_lines(run.stream.cargo_json())) {
    json record = json::parse(line, nullptr, false);
    const json* message = record.is_object() ? find_member(record, "message") : nullptr;
    if (!message || !message->is_object() || message->value("level", "") != "error") continue;
    errors.push_back(message->value("message", ""));
  }
  std::string_view last;
  for (std::string_view line : split_lines(run.stream.cargo_text())) {
    line = trim(line);
    if (line.starts_with("error")) errors.emplace_back(line);
    if (!line.empty()) last = line;
  }
  if (errors.empty() && !last.empty()) errors.emplace_back(last);
  if (std::vector<std::string> unknown = run.stream.unknown_executables(); !unknown.empty())
    errors.push_back(
        fmt::format("it ran {}, which the build did not list", fmt::join(unknown, ", ")));
  return fmt::format("{}", fmt::join(errors, "; "));
}

bool BinaryReport::passed() const {
  return ended() && part->exit && part->exit->code == 0 && accounted_;
}

std::vector<std::string> BinaryReport::crashed() const {
  if (!ended() || !part->exit || !part->exit->signalled()) return {};
  std::vector<std::string> names = libtest.overflowed;
  if (libtest.unfinished &&
      std::find(names.begin(), names.end(), *libtest.unfinished) == names.end())
    names.push_back(*libtest.unfinished);
  return names;
}

BinaryReport report_binary(const LaunchRun& run, size_t binary,
                           const std::set<std::string>& expected, TestThreads threads) {
  BinaryReport report;
  for (const BinaryPart& part : run.stream.parts()) {
    if (part.binary != binary) continue;
    report.part = &part;
    RunEnd end = part.ended && part.exit && !part.exit->signalled() ? RunEnd::Exited : RunEnd::Died;
    if (!expected.empty()) report.libtest = read_libtest_run(part.output, expected, threads, end);
    break;
  }
  for (const std::string& name : expected)
    if (!report.libtest.results.contains(name)) report.without_result.push_back(name);
  report.accounted_ = expected.empty() || report.libtest.closed;
  return report;
}

RunOutput launch_output(const LaunchRun& run) {
  RunOutput output;
  output.stdout_text = run.stream.cargo_json();
  for (const BinaryPart& part : run.stream.parts()) output.stdout_text += part.output;
  output.stderr_text = run.stream.cargo_text();
  output.exit_code = run.exit_code;
  return output;
}

}  // namespace tarnwick
