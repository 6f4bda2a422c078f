#pragma once
/// The test-name pattern of `test_filter`: compiled once per call and
/// searched, unanchored, in each full libtest name.

#include <re2/re2.h>

#include <memory>
#include <string_view>

#include "base/error.h"

namespace tarnwick {

/// "test_filter.pattern is not a valid regex: <library error text>".
Error test_filter_regex_error(std::string_view compile_error);

/// The compiled pattern, or `test_filter_regex_error` with the library's
/// reason. The library never logs on its own.
Result<std::unique_ptr<RE2>> compile_test_pattern(std::string_view pattern);

/// Whether the pattern matches anywhere in `name`.
bool pattern_finds(const RE2& pattern, std::string_view name);

}  // namespace tarnwick
