#pragma once
/// The `bisect` argument of a test call read into a checked configuration,
/// and the arithmetic that cuts a list of tests into nearly equal groups.

#include <re2/re2.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/duration.h"
#include "base/error.h"
#include "base/json_text.h"

namespace tarnwick {

/// A compiled test-name pattern together with the text it came from.
struct BisectPattern {
  std::string source;
  std::shared_ptr<const RE2> regex;
};

struct BisectConfig {
  /// Kill deadline of one group run, shared by all its batches.
  Duration group_timeout;
  /// A group that ran longer than this (and passed) is slow; always
  /// smaller than `group_timeout`.
  std::optional<Duration> slow_threshold;
  /// How many sub-groups an interesting group is cut into; at least 2.
  uint64_t split = 2;
  /// Interesting groups of at most this many tests are not split further.
  uint64_t min_group_size = 1;
  /// At most one of the two first-level layouts is set.
  std::optional<uint64_t> initial_group_size;
  std::optional<uint64_t> initial_groups;
  /// Groups at this depth are not split further.
  uint64_t max_rounds = 32;
  std::optional<BisectPattern> pattern;
  bool include_ignored = false;
};

/// Checks the `bisect` value member by member, in a fixed order, and stops
/// at the first bad one with its message. Null members count as absent.
Result<BisectConfig> read_bisect_config(const json& bisect);

/// A member in seconds (fractions allowed) as a duration rounded to the
/// nearest nanosecond, ties to even; nullopt when absent or null.
Result<std::optional<Duration>> parse_bisect_secs(const json& bisect, std::string_view name);

/// A member that must be a non-negative integer of at least `minimum`;
/// nullopt when absent or null.
Result<std::optional<uint64_t>> parse_bisect_uint(const json& bisect, std::string_view name,
                                                  uint64_t minimum);

/// The message for a pattern the regular-expression library refused.
Error compile_bisect_pattern(std::string_view library_error);

/// Cuts `names` into at most `k` consecutive groups whose sizes differ by at
/// most one, the larger ones first; no group is empty, so fewer names than
/// `k` give one group per name and no names give no group.
std::vector<std::vector<std::string>> split_even(const std::vector<std::string>& names, uint64_t k);

}  // namespace tarnwick
