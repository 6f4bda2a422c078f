#include "tools/args.h"

#include <fmt/format.h>

#include <algorithm>
#include <limits>
#include <system_error>
#include <vector>

#include "base/quoted.h"
#include "base/settings.h"
#include "runner/output_file.h"

namespace tarnwick {
namespace {

OptionalTimeout secs_or_none(uint64_t secs) {
  if (secs == 0) return std::nullopt;
  return Duration::from_secs(secs);
}

}  // namespace

const json* given_arg(const json& arguments, std::string_view key) {
  const json* value = find_member(arguments, key);
  return value && !value->is_null() ? value : nullptr;
}

Result<std::string> read_test_filter_pattern(const json& filter) {
  if (!filter.is_object())
    return make_error(fmt::format("test_filter must be an object with a `pattern` field, got {}",
                                  to_json_text(filter)));
  const json* pattern = find_member(filter, "pattern");
  if (!pattern || !pattern->is_string()) return make_error("test_filter.pattern must be a string");
  if (pattern->get_ref<const std::string&>().empty())
    return make_error("test_filter.pattern must not be empty");
  return pattern->get<std::string>();
}

Result<GivenSecs> read_secs_arg(const json& arguments, std::string_view key) {
  const json* value = given_arg(arguments, key);
  if (!value) return GivenSecs{};
  if (value->is_number_unsigned()) return GivenSecs{value->get<uint64_t>()};
  if (value->is_number_integer() && value->get<int64_t>() >= 0)
    return GivenSecs{static_cast<uint64_t>(value->get<int64_t>())};
  return make_error(
      fmt::format("{} must be a non-negative integer, got {}", key, to_json_text(*value)));
}

Result<OptionalTimeout> parse_timeout_secs(const json& arguments) {
  Result<GivenSecs> given = read_timeout_secs(arguments);
  if (!given) return std::move(given).error();
  return secs_or_none(given->value_or(0));
}

Result<GivenSecs> read_timeout_secs(const json& arguments) {
  return read_secs_arg(arguments, "timeout_secs");
}

Result<GivenSecs> parse_test_timeout_secs(const json& arguments) {
  return read_secs_arg(arguments, "test_timeout_secs");
}

Result<PhaseBudgets> parse_phase_timeouts(const json& arguments) {
  Result<GivenSecs> overall = read_timeout_secs(arguments);
  if (!overall) return std::move(overall).error();
  Result<GivenSecs> test = parse_test_timeout_secs(arguments);
  if (!test) return std::move(test).error();

  // A test timeout of 0 counts as not given.
  const uint64_t execution = test->value_or(0);
  if (!*overall) {
    // The server's default applies only when the call sets no limit at all.
    if (execution == 0) {
      OptionalTimeout fallback = secs_or_none(runtime_settings().test_timeout_secs);
      return PhaseBudgets{fallback, fallback};
    }
    return PhaseBudgets{std::nullopt, secs_or_none(execution)};
  }
  const uint64_t cap = **overall;
  if (cap == 0) return PhaseBudgets{std::nullopt, secs_or_none(execution)};
  const uint64_t run = execution == 0 ? cap : std::min(cap, execution);
  return PhaseBudgets{secs_or_none(cap), secs_or_none(run)};
}

std::optional<std::string> string_arg(const json& arguments, std::string_view key) {
  const json* value = given_arg(arguments, key);
  if (!value || !value->is_string()) return std::nullopt;
  return value->get<std::string>();
}

std::optional<std::string> int64_text_arg(const json& arguments, std::string_view key) {
  const json* value = given_arg(arguments, key);
  if (!value) return std::nullopt;
  if (value->is_number_unsigned()) {
    const uint64_t n = value->get<uint64_t>();
    if (n > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return std::nullopt;
    return std::to_string(n);
  }
  if (value->is_number_integer()) return std::to_string(value->get<int64_t>());
  return std::nullopt;
}

SelectionArgs read_selection_args(const json& arguments) {
  SelectionArgs s;
  s.package = string_arg(arguments, "package");
  s.exclude = string_arg(arguments, "exclude");
  s.bin = string_arg(arguments, "bin");
  s.example = string_arg(arguments, "example");
  s.test = string_arg(arguments, "test");
  s.bench = string_arg(arguments, "bench");
  s.features = string_arg(arguments, "features");
  s.profile = string_arg(arguments, "profile");
  s.jobs = int64_text_arg(arguments, "jobs");
  s.target = string_arg(arguments, "target");
  s.target_dir = string_arg(arguments, "target_dir");
  s.manifest_path = string_arg(arguments, "manifest_path");
  return s;
}

}  // namespace tarnwick
