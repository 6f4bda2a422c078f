#include "runner/output_file.h"

#include <array>

#include "base/json_text.h"
#include "base/path_text.h"
#include "base/text_lines.h"
#include "platform/write_file.h"
#include "runner/output_filters.h"

namespace tarnwick {
namespace {

bool starts_with_any(std::string_view text, std::initializer_list<std::string_view> prefixes) {
  for (std::string_view prefix : prefixes)
    if (text.starts_with(prefix)) return true;
  return false;
}

bool is_libtest_marker(std::string_view text) {
  text = trim_start(text);
  return starts_with_any(text,
                         {"test result:", "failures:", "running ", "---- ", "note: run with"}) ||
         text.find(" FAILED") != std::string_view::npos ||
         text.find("panicked at") != std::string_view::npos;
}

bool is_nextest_marker(std::string_view text) {
  text = trim_start(text);
  if (starts_with_any(text, {"Starting ", "Summary ", "--- STDOUT:", "--- STDERR:"}) ||
      text.find("panicked at") != std::string_view::npos)
    return true;
  static constexpr std::array<std::string_view, 6> kStatusWords = {"FAIL",    "FLAKY",   "LEAK",
                                                                   "TIMEOUT", "SIGABRT", "SLOW"};
  for (std::string_view word : kStatusWords) {
    if (text.size() > word.size() && text.starts_with(word)) {
      char next = text[word.size()];
      if (next == ' ' || next == '[') return true;
    }
  }
  return false;
}

std::string_view record_text(const json& record) {
  auto it = record.find("text");
  if (it == record.end() || !it->is_string()) return {};
  return it->get_ref<const std::string&>();
}

bool is_error_message(const json& record) {
  auto message = record.find("message");
  if (message == record.end() || !message->is_object()) return false;
  auto level = message->find("level");
  return level != message->end() && level->is_string() &&
         (*level == "error" || *level == "error: internal compiler error");
}

/// Whether a line after the invocation record belongs in the condensed answer.
bool keep_in_summary(std::string_view line, bool test_markers) {
  std::optional<json> value = parse_json_line(line);
  if (!value || !value->is_object()) return false;
  if (value->contains("status")) return true;
  std::optional<std::string> reason = line_reason(*value);
  if (!reason) return false;
  if (*reason == "build-finished" || *reason == "x-tarnwick-stderr" ||
      *reason == "x-tarnwick-test-filter-summary" || *reason == "x-tarnwick-test-filter-discovery")
    return true;
  if (*reason == "compiler-message") return is_error_message(*value);
  if (*reason == "x-tarnwick-test-output")
    return test_markers && is_libtest_marker(record_text(*value));
  if (*reason == "x-tarnwick-nextest-output")
    return test_markers && is_nextest_marker(record_text(*value));
  return false;
}

}  // namespace

std::string output_file_path(std::string_view output_path, const std::optional<std::string>& cwd) {
  if (!cwd) return std::string(output_path);
  return join_path(*cwd, output_path);
}

Result<std::string> write_output_file_summary(std::string result_text,
                                              const std::optional<std::string>& output_path,
                                              const std::optional<std::string>& cwd,
                                              bool test_markers) {
  if (!output_path) return result_text;
  // Checked again here, whoever called: the file never lands outside the
  // working directory.
  if (Status inside = check_output_path_stays_inside(*output_path); !inside) return inside.error();

  std::string path = output_file_path(*output_path, cwd);
  if (Status written = platform::write_whole_file(path, result_text); !written)
    return written.error();

  std::vector<std::string_view> lines = split_lines(result_text);
  json record = {{"bytes", platform::file_size(path).value_or(0)},
                 {"lines", lines.size()},
                 {"path", path},
                 {"reason", "x-tarnwick-output-file"}};

  std::string summary;
  if (!lines.empty()) {
    summary += lines.front();
    summary += '\n';
  }
  summary += to_json_text(record);
  summary += '\n';
  for (size_t i = 1; i < lines.size(); ++i) {
    if (!keep_in_summary(lines[i], test_markers)) continue;
    summary += lines[i];
    summary += '\n';
  }
  return summary;
}

}  // namespace tarnwick
