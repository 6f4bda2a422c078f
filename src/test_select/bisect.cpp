#include "test_select/bisect.h"

#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <set>

#include "base/call_context.h"
#include "base/json_text.h"
#include "base/text_lines.h"
#include "runner/invoke.h"
#include "runner/output_file.h"
#include "runner/records.h"
#include "test_select/filter_records.h"
#include "test_select/test_listing.h"

namespace tarnwick {
namespace {

using Clock = std::chrono::steady_clock;

/// The line that tells why the search stopped early.
constexpr std::string_view kErrorLinePrefix = "error: ";

/// Bytes of test names one command line may carry, each name counting its
/// length plus one.
constexpr uint64_t kBatchBytes = 24000;

struct Group {
  std::vector<std::string> tests;
  uint64_t depth = 0;
};

struct GroupRun {
  std::string_view outcome;  // "hung", "failed", "slow" or "clean"
  Duration elapsed;
};

Duration since(Clock::time_point start) { return Duration::from_chrono(Clock::now() - start); }

/// The names cut into consecutive batches of at most `kBatchBytes`; a name
/// longer than that alone forms a batch of its own.
std::vector<std::vector<std::string>> batches_of(const std::vector<std::string>& names) {
  return cut_launch_groups(names, kBatchBytes);
}

/// Runs the group's batches one after the other under one shared budget. A
/// group of no tests is the binary run once as a whole, without arguments.
Result<GroupRun> run_group(BisectSearch& search, const TestBinary& binary, const Group& group) {
  const BisectConfig& config = search.config;
  Duration elapsed;
  bool hung = false, failed = false;
  std::vector<std::vector<std::string>> batches =
      group.tests.empty() ? std::vector<std::vector<std::string>>(1) : batches_of(group.tests);
  for (const auto& batch : batches) {
    Duration budget = saturating_sub(config.group_timeout, elapsed);
    if (budget.is_zero()) {
      hung = true;
      break;
    }
    Result<BatchRun> run = search.run_batch(binary, batch, budget);
    if (!run) return std::move(run).error();
    elapsed = saturating_add(elapsed, run->elapsed);
    if (run->verdict == BatchRun::Verdict::Hung) {
      hung = true;
      break;
    }
    if (run->verdict == BatchRun::Verdict::Failed) {
      failed = true;
      break;
    }
  }
  std::string_view outcome = "clean";
  if (hung) {
    outcome = "hung";
  } else if (failed) {
    outcome = "failed";
  } else if (config.slow_threshold && elapsed > *config.slow_threshold) {
    outcome = "slow";
  }
  return GroupRun{outcome, elapsed};
}

std::string group_record(const BisectConfig& config, const TestBinary& binary, const Group& group,
                         const GroupRun& run) {
  json sample = json::array();
  for (size_t i = 0; i < group.tests.size() && i < 4; ++i) sample.push_back(group.tests[i]);
  json record = {{"depth", group.depth},
                 {"elapsed_secs", bisect_seconds(run.elapsed)},
                 {"group_size", group.tests.size()},
                 {"group_timeout_secs", bisect_seconds(config.group_timeout)},
                 {"outcome", run.outcome},
                 {"package", binary.package},
                 {"reason", "x-tarnwick-bisect-group"},
                 {"sample", std::move(sample)},
                 {"target", binary.target}};
  return to_json_text(record) + "\n";
}

Duration share_of(Duration total, uint64_t parts) {
  unsigned __int128 nanos =
      static_cast<unsigned __int128>(total.secs) * 1'000'000'000u + total.nanos;
  nanos /= std::max<uint64_t>(parts, 1);
  return Duration{static_cast<uint64_t>(nanos / 1'000'000'000u),
                  static_cast<uint32_t>(nanos % 1'000'000'000u)};
}

bool is_hung_or_failed(std::string_view classification) {
  return classification == "hung" || classification == "failed";
}

uint64_t hung_or_failed_culprits(const BisectTotals& totals) {
  return static_cast<uint64_t>(std::count_if(
      totals.culprits.begin(), totals.culprits.end(),
      [](const Culprit& culprit) { return is_hung_or_failed(culprit.classification); }));
}

/// Runs one first-level group and, depth first, the splits of every
/// interesting group under it.
Status search_group(BisectSearch& search, const TestBinary& binary, Group first) {
  const BisectConfig& config = search.config;
  const uint64_t blamed_before = hung_or_failed_culprits(search.totals);
  std::string_view first_outcome;
  std::vector<Group> stack;
  stack.push_back(std::move(first));
  while (!stack.empty()) {
    Group group = std::move(stack.back());
    stack.pop_back();
    auto run = run_group(search, binary, group);
    if (!run) return run.error();
    search.records += group_record(config, binary, group, *run);
    search.sink(fmt::format("bisect: {} [{}] {} test(s) -> {} ({}s)", binary.target, group.depth,
                            group.tests.size(), run->outcome, format_secs_3(run->elapsed)));
    ++search.totals.groups_run;
    if (first_outcome.empty()) first_outcome = run->outcome;
    if (run->outcome == "clean") continue;

    const uint64_t size = group.tests.size();
    if (size > config.min_group_size && group.depth < config.max_rounds) {
      uint64_t k = std::max<uint64_t>(std::min(size, config.split), 2);
      auto parts = split_even(group.tests, k);
      for (auto part = parts.rbegin(); part != parts.rend(); ++part) {
        stack.push_back(Group{std::move(*part), group.depth + 1});
      }
      continue;
    }
    for (const std::string& test : group.tests) {
      search.totals.culprits.push_back(Culprit{binary.package, binary.target, test,
                                               std::string(run->outcome),
                                               share_of(run->elapsed, size)});
    }
  }
  // A hang or failure that no smaller group reproduces still fails the suite.
  if (is_hung_or_failed(first_outcome) && hung_or_failed_culprits(search.totals) == blamed_before) {
    ++search.totals.groups_without_culprit;
  }
  return ok_status();
}

std::vector<Group> first_level_groups(const BisectConfig& config,
                                      const std::vector<std::string>& names) {
  std::vector<Group> groups;
  if (config.initial_group_size) {
    const uint64_t size = *config.initial_group_size;
    for (size_t start = 0; start < names.size();) {
      size_t count = static_cast<size_t>(std::min<uint64_t>(size, names.size() - start));
      auto first = names.begin() + static_cast<std::ptrdiff_t>(start);
      groups.push_back(Group{{first, first + static_cast<std::ptrdiff_t>(count)}, 0});
      start += count;
    }
  } else if (config.initial_groups) {
    for (auto& part : split_even(names, *config.initial_groups)) {
      groups.push_back(Group{std::move(part), 0});
    }
  } else {
    groups.push_back(Group{names, 0});
  }
  return groups;
}

std::string config_record(const BisectConfig& config) {
  json record = {
      {"group_timeout_secs", bisect_seconds(config.group_timeout)},
      {"include_ignored", config.include_ignored},
      {"initial_group_size", config.initial_group_size ? json(*config.initial_group_size) : json()},
      {"initial_groups", config.initial_groups ? json(*config.initial_groups) : json()},
      {"max_rounds", config.max_rounds},
      {"min_group_size", config.min_group_size},
      {"pattern", config.pattern ? json(config.pattern->source) : json()},
      {"reason", "x-tarnwick-bisect-config"},
      {"slow_threshold_secs",
       config.slow_threshold ? bisect_seconds(*config.slow_threshold) : json()},
      {"split_factor", config.split}};
  return to_json_text(record) + "\n";
}

std::string culprit_record(const BisectConfig& config, const Culprit& culprit) {
  json record = {{"classification", culprit.classification},
                 {"elapsed_secs", bisect_seconds(culprit.elapsed)},
                 {"group_timeout_secs", bisect_seconds(config.group_timeout)},
                 {"package", culprit.package},
                 {"reason", "x-tarnwick-bisect-culprit"},
                 {"target", culprit.target},
                 {"test", culprit.test}};
  return to_json_text(record) + "\n";
}

std::string summary_record(const BisectTotals& totals, uint64_t binaries_built, Duration wall) {
  uint64_t hung = 0, failed = 0;
  for (const Culprit& culprit : totals.culprits) {
    if (culprit.classification == "hung") ++hung;
    if (culprit.classification == "failed") ++failed;
  }
  json record = {{"binaries_built", binaries_built},
                 {"binaries_with_tests", totals.binaries_with_tests},
                 {"culprits", totals.culprits.size()},
                 {"enumeration_errors", totals.enumeration_errors},
                 {"failed", failed},
                 {"groups_run", totals.groups_run},
                 {"hung", hung},
                 {"reason", "x-tarnwick-bisect-summary"},
                 {"slow", totals.culprits.size() - hung - failed},
                 {"tests_considered", totals.tests_considered},
                 {"tests_enumerated", totals.tests_enumerated},
                 {"wall_secs", bisect_seconds(wall)}};
  if (totals.groups_without_culprit != 0) {
    record["groups_without_culprit"] = totals.groups_without_culprit;
  }
  return to_json_text(record) + "\n";
}

/// The build's arguments as the invocation record shows them: without the
/// build-only flags, with "--bisect" at the end.
std::vector<std::string> invocation_argv(const std::vector<std::string>& build_argv) {
  std::vector<std::string> argv;
  for (const std::string& arg : build_argv) {
    if (arg != "--no-run" && arg != "--message-format=json") argv.push_back(arg);
  }
  argv.push_back("--bisect");
  return argv;
}

std::vector<std::string> considered_tests(const BisectConfig& config,
                                          std::vector<std::string> names) {
  if (!config.pattern) return names;
  std::erase_if(names, [&](const std::string& name) {
    return !RE2::PartialMatch(name, *config.pattern->regex);
  });
  return names;
}

/// Why the runner did not start the binary.
Error batch_not_started(const LaunchRun& run, const TestBinary& binary,
                        const std::vector<TestBinary>& binaries) {
  if (run.stopped && !run.seen.runs.empty()) {
    return make_error(fmt::format(
        "test binary {} could not be run: cargo first ran {}, and it did not finish within the "
        "group's budget",
        binary.executable, binaries[run.seen.runs.back().binary].executable));
  }
  return make_error(fmt::format("cargo test did not run test binary {}: {}", binary.executable,
                                why_not_started(run, binary)));
}

/// Searches the considered tests of a listed binary; a listing failure is
/// noted and the binary skipped. A binary without libtest's listing is run
/// as a whole unless a pattern picks tests by name.
Status bisect_binary(BisectSearch& search, const TestBinary& binary, Result<TestListing>& listed) {
  if (!listed) {
    std::string message = is_error_kind<TimeoutError>(listed.error())
                              ? "enumeration timed out (`--list` did not finish)"
                              : error_text(listed.error());
    search.totals.enumeration_errors.push_back(binary.executable + ": " + message);
    return ok_status();
  }
  if (!listed->listable) {
    if (search.config.pattern) return ok_status();
    return run_whole_binary(search, binary);
  }
  search.totals.tests_enumerated += listed->names.size();
  std::vector<std::string> names = considered_tests(search.config, std::move(listed->names));
  if (names.empty()) return ok_status();
  ++search.totals.binaries_with_tests;
  search.totals.tests_considered += names.size();
  return search_binary(search, binary, names);
}

/// The output file: the whole text goes to the file, the answer keeps the
/// records that tell the outcome.
Result<std::string> write_bisect_output(const std::string& text, const std::string& output_path,
                                        const platform::WorkingDir& working_dir) {
  static constexpr std::string_view kKept[] = {"x-tarnwick-bisect-config",
                                               "x-tarnwick-bisect-culprit",
                                               "x-tarnwick-bisect-summary", "\"status\":"};
  // A failure names the file and the cause already.
  return write_condensed_output(text, output_path, working_dir, [](std::string_view line) {
    return line.starts_with(kErrorLinePrefix) ||
           std::any_of(std::begin(kKept), std::end(kKept),
                       [&](std::string_view mark) { return line.find(mark) != line.npos; });
  });
}

}  // namespace

json bisect_seconds(Duration d) {
  double secs = static_cast<double>(d.secs) + static_cast<double>(d.nanos) / 1e9;
  double rounded = std::round(secs * 1000) / 1000;
  if (!std::isfinite(rounded)) return nullptr;
  return rounded;
}

BatchRunner cargo_batch_runner(const TestRunBase& base, const std::vector<TestBinary>& binaries,
                               bool include_ignored) {
  return [&base, &binaries, include_ignored](const TestBinary& binary,
                                             const std::vector<std::string>& names,
                                             Duration budget) -> Result<BatchRun> {
    std::vector<std::string> args;
    if (!names.empty()) {
      args = {"--test-threads", "1"};
      std::vector<std::string> selected = filtered_launch_args(names, include_ignored);
      args.insert(args.end(), selected.begin(), selected.end());
    }
    LaunchClocks clocks;
    clocks.per_binary = budget;
    const size_t index = static_cast<size_t>(&binary - binaries.data());
    std::vector<bool> to_start(binaries.size(), false);
    to_start[index] = true;
    Result<LaunchRun> run = run_test_launch(base, binaries, to_start, args, clocks, null_sink());
    if (!run) return std::move(run).error();
    const BinaryRun* ran = run->run_of(index);
    if (!ran) return batch_not_started(*run, binary, binaries);
    if (!ran->ended) {
      return BatchRun{BatchRun::Verdict::Hung, Duration::from_chrono(Clock::now() - ran->started)};
    }
    // The exit status decides; libtest's own word against it never passes.
    BinaryReport report =
        report_binary(*run, index, std::set<std::string>(names.begin(), names.end()));
    bool passed = ran->status && ran->status->success() && report.libtest.last_count_ok != false;
    return BatchRun{passed ? BatchRun::Verdict::Passed : BatchRun::Verdict::Failed,
                    Duration::from_chrono(*ran->ended - ran->started)};
  };
}

Status run_whole_binary(BisectSearch& search, const TestBinary& binary) {
  return search_group(search, binary, Group{{}, 0});
}

Status search_binary(BisectSearch& search, const TestBinary& binary,
                     const std::vector<std::string>& names) {
  for (Group& group : first_level_groups(search.config, names)) {
    if (Status searched = search_group(search, binary, std::move(group)); !searched)
      return searched;
  }
  return ok_status();
}

Result<BisectAnswer> run_bisect_engine(const BisectRequest& request, const ProgressSink& sink) {
  const BisectConfig& config = request.config;
  const std::optional<std::string>& cwd = request.run_base.cwd;
  HostProbe host = start_runner_probe(request.run_base);
  RunRequest build;
  build.argv = request.build_argv;
  build.cwd = request.run_base.cwd;
  build.sink = &sink;
  RunResult built = run_cargo_with_retry(build);
  if (!built) return built.error();
  if (built->exit_code != 0) {
    auto text = write_output_file_summary(build_run_result(*built, request.build_argv, cwd),
                                          request.output_path, *request.working_dir, true);
    if (!text) return text.error();
    return BisectAnswer{std::move(*text), true};
  }
  const std::vector<TestBinary> binaries = parse_test_artifacts(built->stdout_text);
  const auto start = Clock::now();
  TestRunBase base = request.run_base;
  if (Status prepared = prepare_test_runner(base, host); !prepared)
    return std::move(prepared).error();
  // Every listed name, the ignored ones too: given by exact name without
  // --include-ignored, libtest reports an ignored test as ignored.
  auto listings = list_tests(base, binaries, /*include_ignored=*/true);
  if (!listings) return std::move(listings).error();

  std::string text = invocation_record(invocation_argv(request.build_argv), cwd) + "\n";
  text += config_record(config);
  std::vector<TestBinary> unlisted;
  for (size_t i = 0; i < binaries.size(); ++i)
    if (config.pattern && (*listings)[i] && !(*listings)[i]->listable)
      unlisted.push_back(binaries[i]);
  text += coverage_notes("bisect", unlisted, "bisect without a pattern runs it whole",
                         request.default_targets, binaries);
  BisectSearch search{
      config, sink, cargo_batch_runner(base, binaries, config.include_ignored), {}, {}};
  std::optional<std::string> stopped_by;
  for (size_t i = 0; i < binaries.size(); ++i) {
    if (Status searched = bisect_binary(search, binaries[i], (*listings)[i]); !searched) {
      if (is_error_kind<CancelledError>(searched.error())) return searched.error();
      // The groups already run still tell something: the answer goes on
      // with their records, the culprits found so far and the summary.
      stopped_by = std::string(kErrorLinePrefix) + error_text(searched.error()) + "\n";
      break;
    }
  }
  if (cancel_requested()) return CancelledError{};
  text += search.records;
  if (stopped_by) text += *stopped_by;
  for (const Culprit& culprit : search.totals.culprits) text += culprit_record(config, culprit);
  text += summary_record(search.totals, binaries.size(), since(start));
  const BisectTotals& totals = search.totals;
  const bool failed = !totals.culprits.empty() || !totals.enumeration_errors.empty() ||
                      totals.groups_without_culprit != 0 || stopped_by.has_value();
  text += failed ? "{\"status\":\"error\"}\n" : std::string(kSuccessStatusLine) + "\n";
  if (!request.output_path) return BisectAnswer{std::move(text), failed};
  auto answer = write_bisect_output(text, *request.output_path, *request.working_dir);
  if (!answer) return answer.error();
  return BisectAnswer{std::move(*answer), failed};
}

}  // namespace tarnwick
