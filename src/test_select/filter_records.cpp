#include "test_select/filter_records.h"

#include <re2/re2.h>

#include <algorithm>
#include <array>
#include <set>

#include "base/json_text.h"
#include "base/quoted.h"
#include "base/text_lines.h"
#include "test_select/pattern.h"

namespace tarnwick {
namespace {

/// What one libtest result line "test NAME ... ok|FAILED|ignored[, why]" says.
struct Reported {
  std::string_view name;
  std::string_view outcome;  // "ok", "FAILED" or "ignored..."
};

std::optional<Reported> reported_result(std::string_view line) {
  std::string_view text = trim_end(line);
  if (!text.starts_with("test ")) return std::nullopt;
  text.remove_prefix(5);
  size_t dots = text.rfind(" ... ");
  if (dots == std::string_view::npos) return std::nullopt;
  std::string_view outcome = text.substr(dots + 5);
  if (outcome != "ok" && outcome != "FAILED" && !outcome.starts_with("ignored"))
    return std::nullopt;
  std::string_view name = text.substr(0, dots);
  // libtest marks #[should_panic] tests after their name.
  constexpr std::string_view kShouldPanic = " - should panic";
  if (name.ends_with(kShouldPanic)) name.remove_suffix(kShouldPanic.size());
  return Reported{name, outcome};
}

/// Passed, failed and ignored as libtest's count line gives them.
std::optional<std::array<uint64_t, 3>> count_line(std::string_view line) {
  static const RE2 kCounts(
      R"(test result: (?:ok|FAILED)\. (\d+) passed; (\d+) failed; (\d+) ignored;.*)");
  std::array<uint64_t, 3> counts{};
  if (!RE2::FullMatch(trim(line), kCounts, &counts[0], &counts[1], &counts[2])) return std::nullopt;
  return counts;
}

json binary_object(const EnumeratedBinary& entry) {
  return {{"executable", entry.binary.executable},
          {"kind", std::string(test_target_kind_name(entry.binary.kind))},
          {"matched", entry.matched},
          {"package", entry.binary.package},
          {"target", entry.binary.target},
          {"tests_enumerated", entry.tests.size()},
          {"tests_matched", entry.matched.size()}};
}

}  // namespace

void match_tests(std::vector<EnumeratedBinary>& binaries, const RE2& pattern) {
  for (EnumeratedBinary& entry : binaries) {
    entry.matched.clear();
    for (const std::string& name : entry.tests)
      if (pattern_finds(pattern, name)) entry.matched.push_back(name);
  }
}

std::vector<std::vector<std::string>> cut_launch_groups(const std::vector<std::string>& names,
                                                        size_t max_bytes) {
  std::vector<std::vector<std::string>> groups;
  size_t bytes = 0;
  for (const std::string& name : names) {
    size_t cost = name.size() + 1;
    if (groups.empty() || (!groups.back().empty() && bytes + cost > max_bytes)) {
      groups.emplace_back();
      bytes = 0;
    }
    groups.back().push_back(name);
    bytes += cost;
  }
  return groups;
}

size_t count_planned_launches(const std::vector<EnumeratedBinary>& binaries) {
  size_t total = 0;
  for (const EnumeratedBinary& entry : binaries) total += cut_launch_groups(entry.matched).size();
  return total;
}

std::vector<std::string> filtered_launch_args(const std::vector<std::string>& names,
                                              bool include_ignored) {
  std::vector<std::string> args{"--exact"};
  if (include_ignored) args.emplace_back("--include-ignored");
  args.insert(args.end(), names.begin(), names.end());
  return args;
}

LibtestAccount account_for_run(std::string_view stdout_text,
                               const std::vector<std::string>& names) {
  std::set<std::string_view> reported;
  std::array<uint64_t, 3> seen{};  // passed, failed, ignored
  std::vector<std::array<uint64_t, 3>> count_lines;
  for (std::string_view line : split_lines(stdout_text)) {
    if (auto result = reported_result(line)) {
      reported.insert(result->name);
      seen[result->outcome == "ok" ? 0 : result->outcome == "FAILED" ? 1 : 2] += 1;
    } else if (auto counts = count_line(line)) {
      count_lines.push_back(*counts);
    }
  }
  LibtestAccount account;
  for (const std::string& name : names)
    if (!reported.contains(name)) account.not_reported.push_back(name);
  account.counts_agree = count_lines.size() == 1 && count_lines.front() == seen;
  return account;
}

size_t FilterFindings::tests_enumerated() const {
  size_t total = 0;
  for (const EnumeratedBinary& entry : binaries) total += entry.tests.size();
  return total;
}

size_t FilterFindings::tests_matched() const {
  size_t total = 0;
  for (const EnumeratedBinary& entry : binaries) total += entry.matched.size();
  return total;
}

std::string discovery_record(const FilterFindings& findings) {
  json binaries = json::array();
  for (const EnumeratedBinary& entry : findings.binaries) binaries.push_back(binary_object(entry));
  json record = {{"binaries", std::move(binaries)},
                 {"enumeration_errors", findings.enumeration_errors},
                 {"include_ignored", findings.include_ignored},
                 {"launches_planned", findings.launches_planned},
                 {"pattern", findings.pattern},
                 {"reason", "x-tarnwick-test-filter-discovery"},
                 {"tests_enumerated", findings.tests_enumerated()},
                 {"tests_matched", findings.tests_matched()}};
  return to_json_text(record);
}

std::string summary_record(const FilterFindings& findings, int32_t exit_code, uint64_t launches,
                           std::vector<std::string> tests_not_run) {
  size_t with_matches = std::count_if(findings.binaries.begin(), findings.binaries.end(),
                                      [](const EnumeratedBinary& e) { return !e.matched.empty(); });
  json record = {{"binaries_discovered", findings.binaries.size()},
                 {"binaries_with_matches", with_matches},
                 {"exit_code", exit_code},
                 {"launches", launches},
                 {"pattern", findings.pattern},
                 {"reason", "x-tarnwick-test-filter-summary"},
                 {"status", exit_code == 0 ? "success" : "error"},
                 {"tests_enumerated", findings.tests_enumerated()},
                 {"tests_matched", findings.tests_matched()}};
  if (!tests_not_run.empty()) {
    std::sort(tests_not_run.begin(), tests_not_run.end());
    record["tests_not_run"] = std::move(tests_not_run);
  }
  return to_json_text(record);
}

}  // namespace tarnwick
