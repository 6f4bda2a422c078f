#include "runner/output_filters.h"

#include "base/json_scan.h"
#include "base/quoted.h"
#include "base/settings.h"
#include "base/text_lines.h"

namespace tarnwick {
namespace {

constexpr std::string_view kFinalizeErrorText =
    "error finalizing incremental compilation session directory";
constexpr std::string_view kFinalizeNotDoneText =
    "did not finalize incremental compilation session directory";

/// Deeper nesting is refused, as cargo's own JSON readers do; copying or
/// writing such a value would recurse that deep.
constexpr int kMaxJsonDepth = 127;

bool nesting_too_deep(std::string_view text) { return json_nesting_exceeds(text, kMaxJsonDepth); }

std::optional<json> parse_valid_utf8(std::string_view text) {
  try {
    json value = json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (value.is_discarded()) return std::nullopt;
    return value;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

bool mentions_session_noise(std::string_view text) {
  return has_substring(text, kFinalizeErrorText) || has_substring(text, kFinalizeNotDoneText);
}

bool hide_noise() { return !runtime_settings().show_incremental_notes; }

std::string wrap_line(std::string_view reason, std::string_view line) {
  json record = {{"reason", reason}, {"text", std::string(line)}};
  return to_json_text(record);
}

/// How a line's reason sorts it, for a line that is JSON.
LineKind kind_of_reason(std::string_view reason, bool is_noise) {
  if (reason == "build-finished") return LineKind::Kept;
  if (reason == "compiler-message") return is_noise ? LineKind::Artifact : LineKind::Kept;
  if (reason == "compiler-artifact" || reason == "build-script-executed") return LineKind::Artifact;
  return LineKind::Other;
}

/// `LineSorter::sort` with the line's whole tree built.
LineKind classify_parsed(std::string_view line) {
  std::optional<json> value = parse_json_line(line);
  if (!value) return LineKind::NotJson;
  std::optional<std::string> reason = line_reason(*value);
  if (!reason) return LineKind::NoReason;
  bool noise =
      *reason == "compiler-message" && hide_noise() && is_incremental_session_noise(*value);
  return kind_of_reason(*reason, noise);
}

/// `is_incremental_session_noise` for a compiler message read quickly.
bool node_is_session_noise(const JsonNode& value) {
  std::optional<JsonNode> message = value.find("message");
  if (!message || !message->is_object()) return false;
  std::optional<JsonNode> text = message->find("rendered");
  if (!text || !text->is_string()) text = message->find("message");
  if (!text || !text->is_string()) return false;
  // Both texts hold "finaliz", whose 'z' is rare: looked for first. A long
  // text is read where it lies, never copied.
  return text->string_holds("finaliz") &&
         (text->string_holds(kFinalizeErrorText) || text->string_holds(kFinalizeNotDoneText));
}

}  // namespace

std::optional<json> parse_json_line(std::string_view line) {
  // The JSON library stops reading at a NUL byte and skips a leading byte
  // order mark; neither can be part of one JSON value, so such a line is text.
  if (line.find('\0') != std::string_view::npos || line.starts_with("\xEF\xBB\xBF"))
    return std::nullopt;
  if (nesting_too_deep(line)) return std::nullopt;
  if (std::optional<json> value = parse_valid_utf8(line)) return value;
  std::string repaired = to_valid_utf8(line);
  if (repaired == line) return std::nullopt;
  return parse_valid_utf8(repaired);
}

std::optional<std::string> line_reason(const json& value) {
  if (!value.is_object()) return std::nullopt;
  auto it = value.find("reason");
  if (it == value.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

bool is_incremental_session_noise(const json& value) {
  if (line_reason(value) != "compiler-message") return false;
  const json* text = nullptr;
  auto message = value.find("message");
  if (message != value.end() && message->is_object()) {
    auto rendered = message->find("rendered");
    if (rendered != message->end() && rendered->is_string()) {
      text = &*rendered;
    } else {
      auto plain = message->find("message");
      if (plain != message->end() && plain->is_string()) text = &*plain;
    }
  }
  return text && mentions_session_noise(text->get_ref<const std::string&>());
}

LineKind LineSorter::sort(std::string_view line, size_t readable_after) {
  value_.reset();
  if (is_blank(line)) return LineKind::Blank;
  value_ = reader_.read(line, readable_after);
  // Whatever the quick readers cannot vouch for, the library's parser decides.
  if (!value_) return classify_parsed(line);
  std::optional<JsonNode> reason = value_->find("reason");
  if (!reason || !reason->is_string()) return LineKind::NoReason;
  std::string scratch;
  std::string_view name = reason->string_value(scratch);
  bool noise = name == "compiler-message" && hide_noise() && node_is_session_noise(*value_);
  return kind_of_reason(name, noise);
}

std::vector<std::string_view> filter_build_message_lines(std::string_view text) {
  std::vector<std::string_view> kept;
  LineSorter sorter;
  for (std::string_view line : split_lines(text))
    if (sorter.sort(line) == LineKind::Kept) kept.push_back(line);
  return kept;
}

std::string collect_build_message_lines(std::string_view text) {
  return join_lines(filter_build_message_lines(text));
}

std::vector<std::string> filter_run_output_lines(std::string_view text) {
  std::vector<std::string> out;
  LineSorter sorter;
  for (std::string_view line : split_lines(text)) {
    switch (sorter.sort(line)) {
      case LineKind::Kept:
        out.emplace_back(line);
        break;
      case LineKind::NotJson:
        out.push_back(wrap_line("x-tarnwick-test-output", line));
        break;
      default:
        break;
    }
  }
  return out;
}

std::vector<std::string> filter_nextest_run_lines(std::string_view text) {
  std::vector<std::string> out;
  LineSorter sorter;
  for (std::string_view line : split_lines(text)) {
    switch (sorter.sort(line)) {
      case LineKind::Blank:
      case LineKind::Artifact:
        break;
      case LineKind::Kept:
        out.emplace_back(line);
        break;
      case LineKind::NotJson:
      case LineKind::NoReason:
      case LineKind::Other:
        out.push_back(wrap_line("x-tarnwick-nextest-output", line));
        break;
    }
  }
  return out;
}

std::vector<std::string> nextest_lines_to_json(std::string_view text) {
  std::vector<std::string> out;
  for (std::string_view line : split_lines(text)) {
    if (is_blank(line)) continue;
    std::optional<json> value = parse_json_line(line);
    if (!value) {
      out.push_back(wrap_line("x-tarnwick-nextest-output", line));
      continue;
    }
    out.push_back(to_json_text(*value));
  }
  return out;
}

std::string strip_incremental_noise_lines(std::string_view stderr_text) {
  if (!hide_noise()) return std::string(trim(stderr_text));
  std::vector<std::string_view> kept;
  bool previous_dropped = false;
  for (std::string_view line : split_lines(stderr_text)) {
    if (mentions_session_noise(line)) {
      previous_dropped = true;
      continue;
    }
    bool drop = previous_dropped && is_blank(line);
    previous_dropped = false;
    if (!drop) kept.push_back(line);
  }
  return std::string(trim(join_lines(kept)));
}

RunOutput merge_build_diagnostics(const RunOutput& build, const RunOutput& test) {
  RunOutput merged;
  for (std::string_view line : split_lines(build.stdout_text)) {
    if (line.find("\"reason\":\"compiler-message\"") == std::string_view::npos) continue;
    append_line(merged.stdout_text, line);
  }
  merged.stdout_text += test.stdout_text;
  if (!is_blank(build.stderr_text)) {
    merged.stderr_text = build.stderr_text;
    if (merged.stderr_text.back() != '\n') merged.stderr_text += '\n';
  }
  merged.stderr_text += test.stderr_text;
  merged.exit_code = test.exit_code;
  return merged;
}

}  // namespace tarnwick
