#include "test_select/pattern.h"

#include <fmt/format.h>

namespace tarnwick {

Error test_filter_regex_error(std::string_view compile_error) {
  return make_error(fmt::format("test_filter.pattern is not a valid regex: {}", compile_error));
}

Result<std::unique_ptr<RE2>> compile_test_pattern(std::string_view pattern) {
  RE2::Options options;
  // The server's standard error stays quiet; the reason travels in the error.
  options.set_log_errors(false);
  auto compiled = std::make_unique<RE2>(re2::StringPiece(pattern.data(), pattern.size()), options);
  if (!compiled->ok()) return test_filter_regex_error(compiled->error());
  return compiled;
}

bool pattern_finds(const RE2& pattern, std::string_view name) {
  return RE2::PartialMatch(re2::StringPiece(name.data(), name.size()), pattern);
}

}  // namespace tarnwick
