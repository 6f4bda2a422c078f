#include "suggest/suggest.h"

#include <fmt/format.h>

#include "base/json_scan.h"
#include "base/json_text.h"
#include "base/quoted.h"
#include "base/text_lines.h"

namespace tarnwick {
namespace {

std::optional<Applicability> applicability_of(const json& span) {
  auto it = span.find("suggestion_applicability");
  if (it == span.end() || !it->is_string()) return std::nullopt;
  const std::string& text = it->get_ref<const std::string&>();
  if (text == "MachineApplicable") return Applicability::MachineApplicable;
  if (text == "MaybeIncorrect") return Applicability::MaybeIncorrect;
  if (text == "HasPlaceholders") return Applicability::HasPlaceholders;
  return std::nullopt;  // "Unspecified" and anything else is no suggestion
}

uint64_t position_field(const json& span, const char* key) {
  auto it = span.find(key);
  if (it == span.end()) return 0;
  if (it->is_number_unsigned()) return it->get<uint64_t>();
  if (it->is_number_integer() && it->get<int64_t>() >= 0)
    return static_cast<uint64_t>(it->get<int64_t>());
  return 0;
}

std::string string_field(const json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end() || !it->is_string()) return {};
  return it->get<std::string>();
}

std::optional<std::string> code_of(const json& node) {
  auto it = node.find("code");
  if (it == node.end() || !it->is_object()) return std::nullopt;
  auto inner = it->find("code");
  if (inner == it->end() || !inner->is_string()) return std::nullopt;
  return inner->get<std::string>();
}

/// One diagnostic node to visit, with what it inherits from its parent.
struct PendingNode {
  const json* node;
  std::string message;
  std::optional<std::string> code;
};

/// Appends the node's suggestion, if any of its spans qualifies.
void collect_node_suggestion(const PendingNode& pending, const std::string& diagnostic_message,
                             std::vector<Suggestion>& out) {
  auto spans = pending.node->find("spans");
  if (spans == pending.node->end() || !spans->is_array()) return;
  Suggestion s;
  for (const json& span : *spans) {
    if (!span.is_object()) continue;
    auto replacement = span.find("suggested_replacement");
    if (replacement == span.end() || !replacement->is_string()) continue;
    std::optional<Applicability> applicability = applicability_of(span);
    if (!applicability) continue;
    SuggestionSpan edit;
    edit.file_name = string_field(span, "file_name");
    edit.line_start = position_field(span, "line_start");
    edit.line_end = position_field(span, "line_end");
    edit.column_start = position_field(span, "column_start");
    edit.column_end = position_field(span, "column_end");
    edit.replacement = replacement->get<std::string>();
    if (s.spans.empty()) s.applicability = *applicability;
    s.spans.push_back(std::move(edit));
  }
  if (s.spans.empty()) return;
  const SuggestionSpan& primary = s.spans.front();
  s.code = pending.code;
  s.message = pending.message;
  s.diagnostic_message = diagnostic_message;
  s.file_name = primary.file_name;
  s.line_start = primary.line_start;
  s.line_end = primary.line_end;
  s.column_start = primary.column_start;
  s.column_end = primary.column_end;
  s.replacement = primary.replacement;
  out.push_back(std::move(s));
}

/// Walks one top-level diagnostic depth first, a node before its children.
/// An explicit stack keeps a deeply nested line from exhausting the call stack.
void collect_diagnostic(const json& top, std::vector<Suggestion>& out) {
  const std::string diagnostic_message = string_field(top, "message");
  std::vector<PendingNode> stack;
  stack.push_back({&top, diagnostic_message, code_of(top)});
  while (!stack.empty()) {
    PendingNode pending = std::move(stack.back());
    stack.pop_back();
    collect_node_suggestion(pending, diagnostic_message, out);
    auto children = pending.node->find("children");
    if (children == pending.node->end() || !children->is_array()) continue;
    // Pushed in reverse so that the first child is visited first.
    for (auto child = children->rbegin(); child != children->rend(); ++child) {
      if (!child->is_object() || child->empty()) continue;
      auto message = child->find("message");
      std::string child_message = (message != child->end() && message->is_string())
                                      ? message->get<std::string>()
                                      : pending.message;
      std::optional<std::string> child_code = code_of(*child);
      if (!child_code) child_code = pending.code;
      stack.push_back({&*child, std::move(child_message), std::move(child_code)});
    }
  }
}

const char* title_marker(Applicability a) {
  switch (a) {
    case Applicability::MachineApplicable:
      return "";
    case Applicability::MaybeIncorrect:
      return " [maybe-incorrect]";
    case Applicability::HasPlaceholders:
      return " [has-placeholders]";
  }
  return "";
}

/// Nesting the quick look follows before it leaves a line to the parser.
constexpr int kQuickLookDepth = 127;

/// True when the line certainly holds no suggestion: the quick look finds
/// another reason, or no span can name a replacement. Such a line is not
/// parsed.
bool surely_without_suggestion(std::string_view line) {
  std::optional<JsonLineFacts> facts = quick_json_facts(line, kQuickLookDepth);
  if (!facts) return false;
  if (facts->reason != "compiler-message") return true;
  return line.find("suggested_replacement") == std::string_view::npos &&
         line.find("\\u") == std::string_view::npos;
}

}  // namespace

std::vector<Suggestion> collect_suggestions(std::string_view stdout_text) {
  std::vector<Suggestion> out;
  for (std::string_view raw : split_lines(stdout_text)) {
    std::string_view line = trim(raw);
    if (line.empty() || surely_without_suggestion(line)) continue;
    json doc = json::parse(to_valid_utf8(line), nullptr, /*allow_exceptions=*/false);
    if (!doc.is_object()) continue;
    auto reason = doc.find("reason");
    if (reason == doc.end() || !reason->is_string() ||
        reason->get_ref<const std::string&>() != "compiler-message")
      continue;
    auto message = doc.find("message");
    if (message == doc.end() || !message->is_object()) continue;
    collect_diagnostic(*message, out);
  }
  uint64_t id = 0;
  for (Suggestion& s : out) s.id = ++id;
  return out;
}

std::string suggestion_title(const Suggestion& s) {
  std::string code = s.code ? fmt::format("[{}] ", *s.code) : std::string();
  return fmt::format("{}{}{} ({}:{}:{})", code, s.message, title_marker(s.applicability),
                     s.file_name, s.line_start, s.column_start);
}

std::string suggestion_choice_label(const Suggestion& s) {
  std::string_view file = s.file_name;
  size_t sep = file.find_last_of("/\\");
  if (sep != std::string_view::npos) file = file.substr(sep + 1);
  const std::string& text = s.diagnostic_message.empty() ? s.message : s.diagnostic_message;
  switch (s.applicability) {
    case Applicability::MachineApplicable:
      return fmt::format("{}:{} \u2014 {}", file, s.line_start, text);
    case Applicability::MaybeIncorrect:
      return fmt::format("{}:{} \u2014 {} (may be incorrect)", file, s.line_start, text);
    case Applicability::HasPlaceholders:
      return fmt::format("{}:{} \u2014 {} (has placeholders)", file, s.line_start, text);
  }
  return {};
}

std::string format_suggestion_list(const std::vector<Suggestion>& suggestions) {
  std::string out;
  for (const Suggestion& s : suggestions) {
    out += fmt::format("  {}. {}\n", s.id, suggestion_title(s));
    if (s.replacement.empty()) {
      out += "(remove text)";
    } else if (s.replacement.size() <= 80) {
      out += "     replacement: ";
      out += s.replacement;
    } else {
      out += "     replacement: ";
      out += first_chars(s.replacement, 77);
      out += "...";
    }
    out += '\n';
  }
  return out;
}

}  // namespace tarnwick
