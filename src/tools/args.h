#pragma once
/// Readers of tool arguments shared by the handlers. Every reader accepts any
/// JSON value as the argument list; a non-object counts as an empty object,
/// and a missing key and a JSON null both mean "not given".

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/duration.h"
#include "base/error.h"
#include "base/json_text.h"
#include "platform/write_file.h"

namespace tarnwick {

/// The value under `key`, or null when the arguments are not an object, the
/// key is missing or its value is JSON null.
const json* given_arg(const json& arguments, std::string_view key);

/// The pattern text of a `test_filter` value: refuses a value that is not an
/// object, a `pattern` that is not a string and an empty one.
Result<std::string> read_test_filter_pattern(const json& filter);

/// Reads a boolean argument leniently: JSON booleans, the integers 0 and 1,
/// and the strings 1/0, true/false, yes/no, on/off in any case. Anything else
/// is false with a warning log line. Never fails.
bool parse_bool_arg(const json& arguments, std::string_view key);

/// A deadline; nullopt means no limit.
using OptionalTimeout = std::optional<Duration>;

/// A timeout argument as the call gave it: nullopt when absent or null,
/// otherwise its whole seconds (0 included, which callers tell apart).
using GivenSecs = std::optional<uint64_t>;

/// A whole-seconds argument: nullopt when absent or null, its value when a
/// non-negative integer, else "<key> must be a non-negative integer, got <value>".
Result<GivenSecs> read_secs_arg(const json& arguments, std::string_view key);

/// `timeout_secs` as a deadline: absent, null and 0 mean no limit.
Result<OptionalTimeout> parse_timeout_secs(const json& arguments);

/// `timeout_secs` in its three-state form.
Result<GivenSecs> read_timeout_secs(const json& arguments);

/// `test_timeout_secs` in its three-state form.
Result<GivenSecs> parse_test_timeout_secs(const json& arguments);

/// The budgets of the build phase and of the test-execution phase.
struct PhaseBudgets {
  OptionalTimeout build;
  OptionalTimeout execution;
};

/// Maps `timeout_secs`, `test_timeout_secs` and the server's default test
/// timeout onto the two phase budgets.
Result<PhaseBudgets> parse_phase_timeouts(const json& arguments);

/// The build-selection values of one call. Text fields are set only when the
/// argument is a JSON string (kept byte for byte); `jobs` only when it is a
/// JSON integer that fits a signed 64-bit integer, as its decimal text.
struct SelectionArgs {
  std::optional<std::string> package;
  std::optional<std::string> exclude;
  std::optional<std::string> bin;
  std::optional<std::string> example;
  std::optional<std::string> test;
  std::optional<std::string> bench;
  std::optional<std::string> features;
  std::optional<std::string> profile;
  std::optional<std::string> jobs;
  std::optional<std::string> target;
  std::optional<std::string> target_dir;
  std::optional<std::string> manifest_path;
};

/// Reads the twelve selection values. Never fails: a value of another JSON
/// type counts as absent.
SelectionArgs read_selection_args(const json& arguments);

/// The argument as a string, or nullopt when absent or of another JSON type.
std::optional<std::string> string_arg(const json& arguments, std::string_view key);

/// The decimal text of an integer argument that fits a signed 64-bit
/// integer, or nullopt (fractions, exponent forms and larger values included).
std::optional<std::string> int64_text_arg(const json& arguments, std::string_view key);

}  // namespace tarnwick
