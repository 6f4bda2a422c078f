#include "test_select/enumerate.h"

#include <algorithm>

#include "base/text_lines.h"

namespace tarnwick {
namespace {

/// The string elements of a JSON array, in order; other elements and
/// non-arrays give nothing.
std::vector<std::string> json_array_strings(const json& array) {
  std::vector<std::string> strings;
  if (!array.is_array()) return strings;
  for (const json& element : array) {
    if (element.is_string()) strings.push_back(element.get<std::string>());
  }
  return strings;
}

/// The kind named by one element of an artifact's `target.kind` list.
std::optional<TestTargetKind> kind_from_word(std::string_view word) {
  static constexpr std::string_view kLibWords[] = {"lib",    "rlib",      "dylib",
                                                   "cdylib", "staticlib", "proc-macro"};
  if (std::find(std::begin(kLibWords), std::end(kLibWords), word) != std::end(kLibWords))
    return TestTargetKind::Lib;
  if (word == "test") return TestTargetKind::Test;
  if (word == "bin") return TestTargetKind::Bin;
  if (word == "example") return TestTargetKind::Example;
  if (word == "bench") return TestTargetKind::Bench;
  return std::nullopt;
}

std::optional<TestTargetKind> first_kind(const json& kinds) {
  for (const std::string& word : json_array_strings(kinds)) {
    if (auto kind = kind_from_word(word)) return kind;
  }
  return std::nullopt;
}

const json* at_pointer(const json& value, const char* pointer) {
  const json::json_pointer path(pointer);
  return value.contains(path) ? &value.at(path) : nullptr;
}

/// The test binary one output line announces, if it announces one.
std::optional<TestBinary> test_binary_from_line(std::string_view line) {
  json record = json::parse(line, nullptr, false);
  if (!record.is_object()) return std::nullopt;
  const json* reason = find_member(record, "reason");
  if (!reason || *reason != "compiler-artifact") return std::nullopt;
  const json* is_test = at_pointer(record, "/profile/test");
  if (!is_test || *is_test != true) return std::nullopt;
  const json* executable = find_member(record, "executable");
  if (!executable || !executable->is_string()) return std::nullopt;
  const json* name = at_pointer(record, "/target/name");
  if (!name || !name->is_string()) return std::nullopt;
  const json* kinds = at_pointer(record, "/target/kind");
  if (!kinds || !kinds->is_array()) return std::nullopt;
  std::optional<TestTargetKind> kind = first_kind(*kinds);
  if (!kind) return std::nullopt;
  const json* id = find_member(record, "package_id");
  std::string package_id = id && id->is_string() ? id->get<std::string>() : "";
  std::string package = package_name_from_id(package_id);
  if (package.empty()) return std::nullopt;

  const json* doctest = at_pointer(record, "/target/doctest");
  bool has_doctests = *kind == TestTargetKind::Lib && doctest && *doctest == true;
  return TestBinary{std::move(package), name->get<std::string>(), *kind,
                    executable->get<std::string>(), has_doctests};
}

}  // namespace

std::string_view test_target_kind_name(TestTargetKind kind) {
  switch (kind) {
    case TestTargetKind::Lib:
      return "lib";
    case TestTargetKind::Test:
      return "test";
    case TestTargetKind::Bin:
      return "bin";
    case TestTargetKind::Example:
      return "example";
    case TestTargetKind::Bench:
      return "bench";
  }
  return "lib";
}

std::vector<std::string> cargo_target_selector(const TestBinary& binary) {
  if (binary.kind == TestTargetKind::Lib) return {"--lib"};
  return {"--" + std::string(test_target_kind_name(binary.kind)), binary.target};
}

std::vector<TestBinary> parse_test_artifacts(std::string_view build_stdout) {
  std::vector<TestBinary> binaries;
  for (std::string_view line : split_lines(build_stdout)) {
    if (auto binary = test_binary_from_line(line)) binaries.push_back(std::move(*binary));
  }
  return binaries;
}

std::string package_name_from_id(std::string_view package_id) {
  size_t hash = package_id.rfind('#');
  if (hash != std::string_view::npos) {
    std::string_view after = package_id.substr(hash + 1);
    size_t at = after.find('@');
    if (at != std::string_view::npos) return std::string(after.substr(0, at));
    std::string_view source = package_id.substr(0, hash);
    size_t slash = source.rfind('/');
    if (slash != std::string_view::npos && slash + 1 < source.size()) {
      return std::string(source.substr(slash + 1));
    }
  }
  size_t blank = package_id.find(' ');
  if (blank != std::string_view::npos && blank > 0) {
    return std::string(package_id.substr(0, blank));
  }
  return "";
}

}  // namespace tarnwick
