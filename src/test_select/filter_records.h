#pragma once
/// The pure pieces of a test_filter run: matching enumerated tests, cutting
/// them into launch groups, the command line of one launch, what libtest
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
/// each add up to at most `kLaunchGroupBytes`; a longer name stands alone.
std::vector<std::vector<std::string>> cut_launch_groups(const std::vector<std::string>& names);

/// The number of launch groups over all binaries.
size_t count_planned_launches(const std::vector<EnumeratedBinary>& binaries);

/// The parts of a launch's cargo command line that come from the call.
struct LaunchCommand {
  std::optional<std::string> toolchain;  // "+name"
  /// The features, build-profile and manifest groups of the call's build.
  std::vector<std::string> shared_flags;
};

/// [toolchain] test --message-format=json --package P <kind selector>
/// <shared flags> --no-fail-fast -- --exact [--include-ignored] NAMES...
std::vector<std::string> build_filtered_test_argv(const LaunchCommand& command,
                                                  const TestBinary& binary,
                                                  const std::vector<std::string>& names,
                                                  bool include_ignored);

/// The names of `names` that libtest's output in `stdout_text` did not
/// report as passed, failed or ignored, in the order of `names`.
std::vector<std::string> names_not_reported(std::string_view stdout_text,
                                            const std::vector<std::string>& names);

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
