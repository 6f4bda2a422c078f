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

/// The launches the binaries with matches need: one per name with
/// `per_test`, else one per launch group.
size_t count_planned_launches(const std::vector<EnumeratedBinary>& binaries, bool per_test);

/// The arguments of one launch of a test binary: "--exact", then
/// "--include-ignored" when asked, then the names.
std::vector<std::string> filtered_launch_args(const std::vector<std::string>& names,
                                              bool include_ignored);

/// The note records of what a mode's answer leaves out, each followed by
/// "\n": one for every target of `unlisted`, whose tests cannot be listed
/// and so run by no name (`remedy` says how to run it), and one on doctests
/// when `cargo test` would run some (`default_targets`, and a library of
/// `binaries` with doctests). `mode` names the mode in the texts.
std::string coverage_notes(std::string_view mode, const std::vector<TestBinary>& unlisted,
                           std::string_view remedy, bool default_targets,
                           const std::vector<TestBinary>& binaries);

/// What a call found: its pattern, the enumerated binaries and the failures.
struct FilterFindings {
  std::string pattern;
  bool include_ignored = false;
  std::vector<EnumeratedBinary> binaries;
  std::vector<std::string> enumeration_errors;
  /// Binaries (also in `binaries`, without tests) whose `--list` named no
  /// tests in libtest's form, so none of their tests can be matched.
  std::vector<TestBinary> not_listed;
  size_t launches_planned = 0;

  size_t tests_enumerated() const;
  size_t tests_matched() const;
};

/// The x-tarnwick-test-filter-discovery record, keys sorted; `not_listed` is
/// present only when not empty.
std::string discovery_record(const FilterFindings& findings);

/// What the launches of a call did.
struct LaunchTally {
  int32_t exit_code = 0;
  uint64_t launches = 0;
  /// Selected tests without a result: never started, or cut short.
  std::vector<std::string> not_run;
  /// Selected tests that were running when their binary crashed.
  std::vector<std::string> crashed;
};

/// The x-tarnwick-test-filter-summary record, keys sorted; `tests_not_run`
/// and `tests_crashed` (sorted) are present only when not empty.
std::string summary_record(const FilterFindings& findings, LaunchTally tally);

}  // namespace tarnwick
