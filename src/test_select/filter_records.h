#pragma once
/// The pure pieces of a test_filter run: matching enumerated tests, cutting
/// them into launch groups, the arguments of one launch, what libtest
/// reported for it, and the discovery and summary records.

#include <re2/re2.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "test_select/enumerate.h"

namespace tarnwick {

/// The most bytes of names (each counted with one separator) one launch
/// carries, so the command line stays well inside the system's limits.
inline constexpr size_t kLaunchGroupBytes = 16384;

/// A test binary with the tests `--list` named and those the pattern picked.
struct EnumeratedBinary {
  TestBinary binary;
  std::vector<std::string> tests;    // sorted, no duplicates
  std::vector<std::string> matched;  // in the order of `tests`
};

/// Fills `matched` of every binary with the names the pattern finds a match in.
void match_tests(std::vector<EnumeratedBinary>& binaries, const RE2& pattern);

/// The names cut, in order, into consecutive groups whose lengths plus one
/// each add up to at most `max_bytes`; a longer name stands alone.
std::vector<std::vector<std::string>> cut_launch_groups(const std::vector<std::string>& names,
                                                        size_t max_bytes = kLaunchGroupBytes);

/// The number of launch groups over all binaries.
size_t count_planned_launches(const std::vector<EnumeratedBinary>& binaries);

/// The arguments of one launch of a test binary: "--exact", then
/// "--include-ignored" when asked, then the names.
std::vector<std::string> filtered_launch_args(const std::vector<std::string>& names,
                                              bool include_ignored);

/// How libtest accounted for a run given `names`.
struct LibtestAccount {
  /// The given names libtest reported as neither passed, failed nor ignored.
  std::vector<std::string> not_reported;
  /// libtest's count line ("test result: ... N passed; M failed; K ignored")
  /// came once and agrees with the "test NAME ... RESULT" lines.
  bool counts_agree = false;

  /// A run is believed only when both hold: a binary that exits early, or a
  /// child process printing result lines, leaves one of them false.
  bool trusted() const { return not_reported.empty() && counts_agree; }
};

/// What libtest's output in `stdout_text` says about the run of `names`;
/// `not_reported` keeps the order of `names`.
LibtestAccount account_for_run(std::string_view stdout_text, const std::vector<std::string>& names);

/// What a call found: its pattern, the enumerated binaries and the failures.
struct FilterFindings {
  std::string pattern;
  bool include_ignored = false;
  std::vector<EnumeratedBinary> binaries;
  std::vector<std::string> enumeration_errors;
  size_t launches_planned = 0;

  size_t tests_enumerated() const;
  size_t tests_matched() const;
};

/// The x-tarnwick-test-filter-discovery record, keys sorted.
std::string discovery_record(const FilterFindings& findings);

/// The x-tarnwick-test-filter-summary record, keys sorted; `tests_not_run`
/// (sorted) is present only when not empty.
std::string summary_record(const FilterFindings& findings, int32_t exit_code, uint64_t launches,
                           std::vector<std::string> tests_not_run);

}  // namespace tarnwick
