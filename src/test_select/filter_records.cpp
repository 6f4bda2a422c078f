#include "test_select/filter_records.h"

#include <fmt/format.h>
#include <re2/re2.h>

#include <algorithm>

#include "base/json_text.h"
#include "test_select/pattern.h"

namespace tarnwick {
namespace {

json binary_identity(const TestBinary& binary) {
  return {{"executable", binary.executable},
          {"kind", std::string(test_target_kind_name(binary.kind))},
          {"package", binary.package},
          {"target", binary.target}};
}

json binary_object(const EnumeratedBinary& entry) {
  json object = binary_identity(entry.binary);
  object["matched"] = entry.matched;
  object["tests_enumerated"] = entry.tests.size();
  object["tests_matched"] = entry.matched.size();
  return object;
}

void add_sorted(json& record, const char* key, std::vector<std::string> names) {
  if (names.empty()) return;
  std::sort(names.begin(), names.end());
  record[key] = std::move(names);
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

size_t count_planned_launches(const std::vector<EnumeratedBinary>& binaries, bool per_test) {
  size_t total = 0;
  for (const EnumeratedBinary& entry : binaries)
    total += per_test ? entry.matched.size() : cut_launch_groups(entry.matched).size();
  return total;
}

std::vector<std::string> filtered_launch_args(const std::vector<std::string>& names,
                                              bool include_ignored) {
  std::vector<std::string> args{"--exact"};
  if (include_ignored) args.emplace_back("--include-ignored");
  args.insert(args.end(), names.begin(), names.end());
  return args;
}

std::string coverage_notes(std::string_view mode, const std::vector<TestBinary>& unlisted,
                           std::string_view remedy, bool default_targets,
                           const std::vector<TestBinary>& binaries) {
  auto note = [](const std::string& text) {
    return to_json_text(json{{"reason", "x-tarnwick-note"}, {"text", text}}) + "\n";
  };
  std::string notes;
  for (const TestBinary& binary : unlisted) {
    notes += note(fmt::format(
        "tarnwick {}: test target `{}` of package {} ({}) does not list its tests in libtest's "
        "form (harness = false), so none of them can be picked by name and it was not run; {}",
        mode, fmt::join(cargo_target_selector(binary), " "), binary.package, binary.executable,
        remedy));
  }
  bool doctests = std::any_of(binaries.begin(), binaries.end(),
                              [](const TestBinary& binary) { return binary.has_doctests; });
  if (default_targets && doctests) {
    notes +=
        note(fmt::format("tarnwick {0}: doctests are not run in this mode; cargo_test with "
                         "doc: true (without {0}) runs them",
                         mode));
  }
  return notes;
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
  if (!findings.not_listed.empty()) {
    json not_listed = json::array();
    for (const TestBinary& binary : findings.not_listed)
      not_listed.push_back(binary_identity(binary));
    record["not_listed"] = std::move(not_listed);
  }
  return to_json_text(record);
}

std::string summary_record(const FilterFindings& findings, LaunchTally tally) {
  const int32_t exit_code = tally.exit_code;
  size_t with_matches = std::count_if(findings.binaries.begin(), findings.binaries.end(),
                                      [](const EnumeratedBinary& e) { return !e.matched.empty(); });
  json record = {{"binaries_discovered", findings.binaries.size()},
                 {"binaries_with_matches", with_matches},
                 {"exit_code", exit_code},
                 {"launches", tally.launches},
                 {"pattern", findings.pattern},
                 {"reason", "x-tarnwick-test-filter-summary"},
                 {"status", exit_code == 0 ? "success" : "error"},
                 {"tests_enumerated", findings.tests_enumerated()},
                 {"tests_matched", findings.tests_matched()}};
  add_sorted(record, "tests_crashed", std::move(tally.crashed));
  add_sorted(record, "tests_not_run", std::move(tally.not_run));
  return to_json_text(record);
}

}  // namespace tarnwick
