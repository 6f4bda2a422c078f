#include "runner/records.h"

#include <fmt/format.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "base/json_text.h"
#include "base/quoted.h"
#include "base/text_lines.h"
#include "runner/output_filters.h"

namespace tarnwick {
namespace {

constexpr char kEscape = '\x1b';

/// The invocation record, then the kept output lines (trailing white space
/// removed, left out when nothing remains), the status line and the
/// standard-error record of a test run.
std::string test_run_text(const std::vector<std::string>& kept_lines, const RunOutput& output,
                          const std::vector<std::string>& argv,
                          const std::optional<std::string>& cwd) {
  std::vector<std::string> pieces;
  std::string lines = join_lines(kept_lines);
  std::string_view kept = trim_end(lines);
  if (!kept.empty()) pieces.emplace_back(kept);
  pieces.push_back(status_line(output.exit_code));
  if (auto record = stderr_record(strip_incremental_noise_lines(output.stderr_text)))
    pieces.push_back(std::move(*record));
  return invocation_record(argv, cwd) + join_lines(pieces);
}

/// Moves the lines at `places` (offset and size in `text`, in order, cut by
/// the line rule) to follow the first `head` bytes of `text`, each but the
/// last followed by its `line_end_for`, and returns where they end. The
/// first `head` bytes are left for the caller to write. No line end is
/// longer than the one the line had in `text`, so each line moves once,
/// down, except that all of them move up together when the first one starts
/// before `head`.
size_t gather_lines(std::string& text, const std::vector<std::pair<size_t, size_t>>& places,
                    size_t head) {
  size_t gathered = 0;
  for (size_t i = 0; i < places.size(); ++i) {
    gathered += places[i].second;
    if (i + 1 < places.size())
      gathered +=
          line_end_for(std::string_view(text).substr(places[i].first, places[i].second)).size();
  }
  size_t start = places.empty() ? head : std::min(head, places.front().first);
  if (text.size() < head + gathered) text.resize(head + gathered);
  size_t write = start;
  for (size_t i = 0; i < places.size(); ++i) {
    if (i > 0) {
      std::string_view end = line_end_for(
          std::string_view(text).substr(write - places[i - 1].second, places[i - 1].second));
      end.copy(text.data() + write, end.size());
      write += end.size();
    }
    if (write != places[i].first)
      std::memmove(text.data() + write, text.data() + places[i].first, places[i].second);
    write += places[i].second;
  }
  if (start != head) std::memmove(text.data() + head, text.data() + start, gathered);
  return head + gathered;
}

/// nextest's list output as records: one whole JSON document re-serialised,
/// otherwise line by line with plain text wrapped.
std::string nextest_list_records(std::string_view stdout_text) {
  while (stdout_text.ends_with('\n')) stdout_text.remove_suffix(1);
  if (stdout_text.empty()) return "";
  if (std::optional<json> document = parse_json_line(stdout_text)) return to_json_text(*document);
  return join_lines(nextest_lines_to_json(stdout_text));
}

}  // namespace

std::string error_status_line(int32_t exit_code) {
  return fmt::format("{{\"status\":\"error\",\"exit_code\":{}}}", exit_code);
}

std::string status_line(int32_t exit_code) {
  return exit_code == 0 ? std::string(kSuccessStatusLine) : error_status_line(exit_code);
}

std::string invocation_record(const std::vector<std::string>& argv,
                              const std::optional<std::string>& cwd) {
  json record = {{"argv", json::array()},
                 {"cwd", cwd ? *cwd : std::string(".")},
                 {"reason", "x-tarnwick-invocation"}};
  for (const std::string& arg : argv) record["argv"].push_back(arg);
  return to_json_text(record) + "\n";
}

std::optional<std::string> stderr_record(std::string_view filtered_stderr) {
  if (filtered_stderr.empty()) return std::nullopt;
  json record = {{"reason", "x-tarnwick-stderr"}, {"text", std::string(filtered_stderr)}};
  return to_json_text(record);
}

std::string build_diagnostics_result(const RunOutput& output, const std::vector<std::string>& argv,
                                     const std::optional<std::string>& cwd) {
  return build_diagnostics_answer(output, argv, cwd, DiagnosticsReading(false)).text;
}

void DiagnosticsReading::take_line(std::string_view line, size_t offset, size_t readable_after) {
  if (offset == 0) {
    kept_.clear();
    suggestions_.clear();
  }
  if (sorter_.sort(line, readable_after) == LineKind::Kept) kept_.emplace_back(offset, line.size());
  if (with_suggestions_) collect_line_suggestions(line, sorter_.value(), suggestions_);
  seen_ = offset + line.size() + line_end_for(line).size();
}

DiagnosticsAnswer build_diagnostics_answer(RunOutput output, const std::vector<std::string>& argv,
                                           const std::optional<std::string>& cwd,
                                           DiagnosticsReading reading) {
  DiagnosticsAnswer answer;
  std::string record = invocation_record(argv, cwd);
  // cargo's own build-finished record tells the outcome when there is output.
  if (output.exit_code == 0 && output.stdout_text.empty()) {
    answer.text = std::move(record);
    answer.text += kSuccessStatusLine;
    return answer;
  }
  if (!reading.covers(output.stdout_text)) {
    DiagnosticsReading again(reading.with_suggestions());
    std::string_view text = output.stdout_text;
    for (std::string_view line : split_lines(text)) {
      size_t offset = static_cast<size_t>(line.data() - text.data());
      again.take_line(line, offset, text.size() - offset - line.size());
    }
    reading = std::move(again);
  }
  answer.suggestions = reading.take_suggestions();
  std::string& text = output.stdout_text;
  size_t end = gather_lines(text, reading.kept(), record.size());
  record.copy(text.data(), record.size());
  if (output.exit_code != 0) {
    std::string_view messages =
        trim_end(std::string_view(text).substr(record.size(), end - record.size()));
    end = record.size() + messages.size();
    text.resize(end);
    if (!messages.empty()) text += '\n';
    text += error_status_line(output.exit_code);
    if (auto stderr_line = stderr_record(strip_incremental_noise_lines(output.stderr_text))) {
      text += '\n';
      text += *stderr_line;
    }
  } else {
    text.resize(end);
  }
  // Spare room for the suggestion sections the answer may append, so they
  // do not move a long text again; room never written costs no memory.
  text.reserve(text.size() + text.size() / 4);
  answer.text = std::move(text);
  return answer;
}

std::string build_run_result(const RunOutput& output, const std::vector<std::string>& argv,
                             const std::optional<std::string>& cwd) {
  return test_run_text(filter_run_output_lines(output.stdout_text), output, argv, cwd);
}

std::string build_nextest_run_result(const RunOutput& output, const std::vector<std::string>& argv,
                                     const std::optional<std::string>& cwd) {
  return test_run_text(filter_nextest_run_lines(output.stdout_text), output, argv, cwd);
}

std::string nextest_list_result(const RunOutput& output, const std::vector<std::string>& argv,
                                const std::optional<std::string>& cwd) {
  std::vector<std::string> pieces;
  if (std::string records = nextest_list_records(output.stdout_text); !records.empty())
    pieces.push_back(std::move(records));
  pieces.push_back(status_line(output.exit_code));
  // Unlike a run, the list keeps its standard error whole, only trimmed.
  if (auto record = stderr_record(trim(output.stderr_text))) pieces.push_back(std::move(*record));
  return invocation_record(argv, cwd) + join_lines(pieces);
}

std::string plain_run_result(const RunOutput& output, const std::vector<std::string>& argv,
                             const std::optional<std::string>& cwd) {
  std::string combined;
  if (output.stderr_text.empty())
    combined = output.stdout_text;
  else if (output.stdout_text.empty())
    combined = output.stderr_text;
  else
    combined = output.stdout_text + "\n" + output.stderr_text;

  std::string text = invocation_record(argv, cwd);
  if (output.exit_code != 0) {
    text += fmt::format("(exit code {})\n", output.exit_code);
    text += combined;
  } else {
    text += combined.empty() ? std::string("(success, no output)") : combined;
  }
  return text;
}

std::string plain_run_result(const RunOutput& output, const std::vector<std::string>& argv,
                             const std::optional<std::string>& cwd, bool strip_ansi) {
  std::string text = plain_run_result(output, argv, cwd);
  return strip_ansi ? strip_ansi_sequences(text) : text;
}

std::string strip_ansi_sequences(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] == kEscape && i + 1 < text.size() && text[i + 1] == '[') {
      // Skip to just past the final byte of the control sequence (or the end).
      i += 2;
      while (i < text.size()) {
        unsigned char c = static_cast<unsigned char>(text[i++]);
        if (c >= 0x40 && c <= 0x7E) break;
      }
      continue;
    }
    out += text[i++];
  }
  return out;
}

}  // namespace tarnwick
