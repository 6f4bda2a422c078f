#include "test_select/bisect_config.h"

#include <fmt/format.h>

#include <cmath>
#include <limits>

namespace tarnwick {
namespace {

constexpr double kTwoTo64 = 18446744073709551616.0;

/// `secs` (finite, above 0, below 2^64) as whole nanoseconds, rounded to the
/// nearest one with ties to even, computed exactly: the fraction of a double
/// is m * 2^e with a 53-bit m, so m * 1e9 fits in 128 bits.
Duration exact_duration(double secs) {
  double whole = std::floor(secs);
  Duration d{static_cast<uint64_t>(whole), 0};
  double fraction = secs - whole;  // exact
  if (fraction == 0) return d;
  int exponent = 0;
  double mantissa = std::frexp(fraction, &exponent);
  auto m = static_cast<uint64_t>(std::ldexp(mantissa, 53));
  int shift = 53 - exponent;   // fraction = m / 2^shift, shift > 53
  if (shift >= 127) return d;  // below half a nanosecond
  unsigned __int128 scaled = static_cast<unsigned __int128>(m) * 1'000'000'000u;
  unsigned __int128 nanos = scaled >> shift;
  unsigned __int128 rest = scaled - (nanos << shift);
  unsigned __int128 half = static_cast<unsigned __int128>(1) << (shift - 1);
  if (rest > half || (rest == half && (nanos & 1) != 0)) ++nanos;
  if (nanos >= 1'000'000'000u) return saturating_add(d, Duration{1, 0});
  return Duration{d.secs, static_cast<uint32_t>(nanos)};
}

const json* present_member(const json& object, std::string_view name) {
  const json* value = find_member(object, name);
  return value && !value->is_null() ? value : nullptr;
}

Result<uint64_t> read_split(const json& bisect) {
  const json* percent = present_member(bisect, "split_percent");
  if (!percent) {
    auto factor = parse_bisect_uint(bisect, "split_factor", 2);
    if (!factor) return factor.error();
    return factor->value_or(2);
  }
  double p = percent->is_number() ? percent->get<double>() : 0;
  if (!std::isfinite(p) || p <= 0 || p > 100) {
    return make_error("bisect.split_percent must be a number in (0, 100]");
  }
  if (present_member(bisect, "split_factor")) {
    return make_error("bisect: set only one of split_factor or split_percent, not both");
  }
  double split = std::max(std::ceil(100.0 / p), 2.0);
  if (split >= kTwoTo64) return std::numeric_limits<uint64_t>::max();
  return static_cast<uint64_t>(split);
}

Result<std::optional<BisectPattern>> read_pattern(const json& bisect) {
  const json* pattern = present_member(bisect, "pattern");
  if (!pattern) return std::optional<BisectPattern>{};
  if (!pattern->is_string()) return make_error("bisect.pattern must be a string regex");
  const std::string& source = pattern->get_ref<const std::string&>();
  RE2::Options options;
  options.set_log_errors(false);
  auto regex = std::make_shared<const RE2>(source, options);
  if (!regex->ok()) return compile_bisect_pattern(regex->error());
  return std::optional<BisectPattern>{BisectPattern{source, std::move(regex)}};
}

}  // namespace

Result<std::optional<Duration>> parse_bisect_secs(const json& bisect, std::string_view name) {
  const json* value = present_member(bisect, name);
  if (!value) return std::optional<Duration>{};
  if (!value->is_number())
    return make_error(fmt::format("bisect.{} must be a number (seconds)", name));
  double secs = value->get<double>();
  if (!std::isfinite(secs) || secs <= 0) {
    return make_error(fmt::format("bisect.{} must be a positive number of seconds", name));
  }
  if (secs >= kTwoTo64) {
    return make_error(fmt::format("bisect.{} exceeds the maximum supported duration", name));
  }
  return std::optional<Duration>{exact_duration(secs)};
}

Result<std::optional<uint64_t>> parse_bisect_uint(const json& bisect, std::string_view name,
                                                  uint64_t minimum) {
  const json* value = present_member(bisect, name);
  if (!value) return std::optional<uint64_t>{};
  std::optional<uint64_t> number;
  if (value->is_number_unsigned()) {
    number = value->get<uint64_t>();
  } else if (value->is_number_integer() && value->get<int64_t>() >= 0) {
    number = static_cast<uint64_t>(value->get<int64_t>());
  }
  if (!number) return make_error(fmt::format("bisect.{} must be a non-negative integer", name));
  if (*number < minimum)
    return make_error(fmt::format("bisect.{} must be at least {}", name, minimum));
  return number;
}

Error compile_bisect_pattern(std::string_view library_error) {
  return make_error(fmt::format("bisect.pattern is not a valid regex: {}", library_error));
}

Result<BisectConfig> read_bisect_config(const json& bisect) {
  if (!bisect.is_object()) {
    return make_error("bisect must be an object with at least `group_timeout_secs`");
  }
  BisectConfig config;
  auto timeout = parse_bisect_secs(bisect, "group_timeout_secs");
  if (!timeout) return timeout.error();
  if (!*timeout) {
    return make_error("bisect.group_timeout_secs is required and must be a positive number");
  }
  config.group_timeout = **timeout;

  auto slow = parse_bisect_secs(bisect, "slow_threshold_secs");
  if (!slow) return slow.error();
  if (*slow && **slow >= config.group_timeout) {
    return make_error("bisect.slow_threshold_secs must be smaller than group_timeout_secs");
  }
  config.slow_threshold = *slow;

  auto split = read_split(bisect);
  if (!split) return split.error();
  config.split = *split;

  auto min_size = parse_bisect_uint(bisect, "min_group_size", 1);
  if (!min_size) return min_size.error();
  config.min_group_size = min_size->value_or(1);

  auto group_size = parse_bisect_uint(bisect, "initial_group_size", 1);
  if (!group_size) return group_size.error();
  auto groups = parse_bisect_uint(bisect, "initial_groups", 1);
  if (!groups) return groups.error();
  if (*group_size && *groups) {
    return make_error("bisect: set only one of initial_group_size or initial_groups, not both");
  }
  config.initial_group_size = *group_size;
  config.initial_groups = *groups;

  auto rounds = parse_bisect_uint(bisect, "max_rounds", 1);
  if (!rounds) return rounds.error();
  config.max_rounds = rounds->value_or(32);

  auto pattern = read_pattern(bisect);
  if (!pattern) return pattern.error();
  config.pattern = std::move(*pattern);

  const json* ignored = find_member(bisect, "include_ignored");
  config.include_ignored = ignored && *ignored == true;
  return config;
}

std::vector<std::vector<std::string>> split_even(const std::vector<std::string>& names,
                                                 uint64_t k) {
  const uint64_t n = names.size();
  const uint64_t count = std::min<uint64_t>(k, std::max<uint64_t>(n, 1));
  std::vector<std::vector<std::string>> groups;
  if (count == 0) return groups;
  const uint64_t base = n / count;
  const uint64_t rest = n - base * count;
  auto next = names.begin();
  for (uint64_t i = 0; i < count; ++i) {
    uint64_t size = base + (i < rest ? 1 : 0);
    if (size == 0) continue;
    groups.emplace_back(next, next + static_cast<std::ptrdiff_t>(size));
    next += static_cast<std::ptrdiff_t>(size);
  }
  return groups;
}

}  // namespace tarnwick
