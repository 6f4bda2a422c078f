#include "suggest/suggest.h"

#include <fmt/format.h>

#include <algorithm>
#include <charconv>
#include <iterator>

#include "base/json_line.h"
#include "base/json_text.h"
#include "base/quoted.h"
#include "base/text_lines.h"

namespace tarnwick {
namespace {

// The walk below reads a diagnostic either from the library's tree or from a
// line read quickly; these overloads are all it needs of either.

const json* member(const json& node, std::string_view key) { return find_member(node, key); }
std::optional<JsonNode> member(const JsonNode& node, std::string_view key) {
  return node.find(key);
}

std::string string_of(const json& value) { return value.get<std::string>(); }
std::string string_of(const JsonNode& value) {
  std::string scratch;
  std::string_view text = value.string_value(scratch);
  return scratch.empty() ? std::string(text) : std::move(scratch);
}

std::optional<uint64_t> unsigned_of(const json& value) {
  if (value.is_number_unsigned()) return value.get<uint64_t>();
  if (value.is_number_integer() && value.get<int64_t>() >= 0)
    return static_cast<uint64_t>(value.get<int64_t>());
  return std::nullopt;
}
std::optional<uint64_t> unsigned_of(const JsonNode& value) { return value.unsigned_value(); }

template <typename Visit>
void for_each_item(const json& array, Visit visit) {
  for (const json& item : array) visit(item);
}
template <typename Visit>
void for_each_item(const JsonNode& array, Visit visit) {
  JsonItems items = array.items();
  JsonNode item;
  while (items.next(item)) visit(item);
}

bool is_empty_object(const json& node) { return node.empty(); }
bool is_empty_object(const JsonNode& node) { return node.empty(); }

/// How the walk keeps a node it will come back to: the library's nodes by
/// address, the quickly read ones as they are (small handles).
const json* held(const json& node) { return &node; }
JsonNode held(const JsonNode& node) { return node; }
const json& node_of(const json* node) { return *node; }
const JsonNode& node_of(const JsonNode& node) { return node; }

template <typename Node>
std::optional<Applicability> applicability_of(const Node& span) {
  auto it = member(span, "suggestion_applicability");
  if (!it || !it->is_string()) return std::nullopt;
  std::string text = string_of(*it);
  if (text == "MachineApplicable") return Applicability::MachineApplicable;
  if (text == "MaybeIncorrect") return Applicability::MaybeIncorrect;
  if (text == "HasPlaceholders") return Applicability::HasPlaceholders;
  return std::nullopt;  // "Unspecified" and anything else is no suggestion
}

template <typename Node>
uint64_t position_field(const Node& span, const char* key) {
  auto it = member(span, key);
  return it ? unsigned_of(*it).value_or(0) : 0;
}

template <typename Node>
std::string string_field(const Node& object, const char* key) {
  auto it = member(object, key);
  if (!it || !it->is_string()) return {};
  return string_of(*it);
}

template <typename Node>
std::optional<std::string> code_of(const Node& node) {
  auto it = member(node, "code");
  if (!it || !it->is_object()) return std::nullopt;
  auto inner = member(*it, "code");
  if (!inner || !inner->is_string()) return std::nullopt;
  return string_of(*inner);
}

/// One diagnostic node to visit, with what it inherits from its parent.
template <typename Node>
struct PendingNode {
  decltype(held(std::declval<const Node&>())) node;
  std::string message;
  std::optional<std::string> code;
};

/// Appends the node's suggestion, if any of its spans qualifies.
template <typename Node>
void collect_node_suggestion(const PendingNode<Node>& pending,
                             const std::string& diagnostic_message, std::vector<Suggestion>& out) {
  auto spans = member(node_of(pending.node), "spans");
  if (!spans || !spans->is_array()) return;
  Suggestion s;
  for_each_item(*spans, [&s](const Node& span) {
    if (!span.is_object()) return;
    auto replacement = member(span, "suggested_replacement");
    if (!replacement || !replacement->is_string()) return;
    std::optional<Applicability> applicability = applicability_of(span);
    if (!applicability) return;
    SuggestionSpan edit;
    edit.file_name = string_field(span, "file_name");
    edit.line_start = position_field(span, "line_start");
    edit.line_end = position_field(span, "line_end");
    edit.column_start = position_field(span, "column_start");
    edit.column_end = position_field(span, "column_end");
    edit.replacement = string_of(*replacement);
    if (s.spans.empty()) s.applicability = *applicability;
    s.spans.push_back(std::move(edit));
  });
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
  s.id = out.size() + 1;
  out.push_back(std::move(s));
}

/// Walks one top-level diagnostic depth first, a node before its children.
/// An explicit stack keeps a deeply nested line from exhausting the call stack.
template <typename Node>
void collect_diagnostic(const Node& top, std::vector<Suggestion>& out) {
  const std::string diagnostic_message = string_field(top, "message");
  std::vector<PendingNode<Node>> stack;
  stack.push_back({held(top), diagnostic_message, code_of(top)});
  while (!stack.empty()) {
    PendingNode<Node> pending = std::move(stack.back());
    stack.pop_back();
    collect_node_suggestion(pending, diagnostic_message, out);
    auto children = member(node_of(pending.node), "children");
    if (!children || !children->is_array()) continue;
    const size_t first = stack.size();
    for_each_item(*children, [&](const Node& child) {
      if (!child.is_object() || is_empty_object(child)) return;
      auto message = member(child, "message");
      std::string child_message =
          (message && message->is_string()) ? string_of(*message) : pending.message;
      std::optional<std::string> child_code = code_of(child);
      if (!child_code) child_code = pending.code;
      stack.push_back({held(child), std::move(child_message), std::move(child_code)});
    });
    // Reversed so that the first child is visited first.
    std::reverse(stack.begin() + static_cast<std::ptrdiff_t>(first), stack.end());
  }
}

/// Collects the suggestions of one compiler-message tree.
template <typename Node>
void collect_message(const Node& doc, std::vector<Suggestion>& out) {
  if (!doc.is_object()) return;
  auto reason = member(doc, "reason");
  if (!reason || !reason->is_string() || string_of(*reason) != "compiler-message") return;
  auto message = member(doc, "message");
  if (!message || !message->is_object()) return;
  collect_diagnostic(*message, out);
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

/// Whether JSON white space, a ':' and white space again, then a '"' follow
/// `pos`: a member whose value is a string.
bool string_value_follows(std::string_view line, size_t pos) {
  pos = skip_json_space(line, pos);
  if (pos >= line.size() || line[pos] != ':') return false;
  pos = skip_json_space(line, pos + 1);
  return pos < line.size() && line[pos] == '"';
}

/// True when the line certainly holds no suggestion: no span in it names a
/// replacement string (cargo writes the key with null in every other span).
/// Such a line is not parsed. A \\u escape could spell the key, so a line
/// with one is always parsed.
bool surely_without_suggestion(std::string_view line) {
  constexpr std::string_view kKey = "\"suggested_replacement\"";
  if (has_substring(line, "\\u")) return false;
  for (size_t at = line.find(kKey); at != std::string_view::npos; at = line.find(kKey, at + 1))
    if (string_value_follows(line, at + kKey.size())) return false;
  return true;
}

}  // namespace

void collect_line_suggestions(std::string_view line, const JsonNode* value,
                              std::vector<Suggestion>& out) {
  // A line read quickly is one JSON value between JSON white space, which
  // trimming would only take off.
  if (value) {
    collect_message(*value, out);
    return;
  }
  std::string_view trimmed = trim(line);
  if (trimmed.empty() || surely_without_suggestion(trimmed)) return;
  if (trimmed.size() != line.size()) {
    // White space that the caller's reading did not skip.
    JsonLineReader reader;
    if (std::optional<JsonNode> trimmed_value = reader.read(trimmed)) {
      collect_message(*trimmed_value, out);
      return;
    }
  }
  collect_message(json::parse(to_valid_utf8(trimmed), nullptr, /*allow_exceptions=*/false), out);
}

std::vector<Suggestion> collect_suggestions(std::string_view stdout_text) {
  std::vector<Suggestion> out;
  JsonLineReader reader;
  for (std::string_view line : split_lines(stdout_text)) {
    if (is_blank(line)) continue;
    std::optional<JsonNode> value = reader.read(line);
    collect_line_suggestions(line, value ? &*value : nullptr, out);
  }
  return out;
}

namespace {

void append_number(std::string& out, uint64_t n) {
  char digits[20];
  auto end = std::to_chars(std::begin(digits), std::end(digits), n).ptr;
  out.append(digits, end);
}

/// Appends what `suggestion_title` returns, written straight into `out`:
/// a long list of suggestions is written a piece at a time.
void append_suggestion_title(std::string& out, const Suggestion& s) {
  if (s.code) out.append("[").append(*s.code).append("] ");
  out.append(s.message).append(title_marker(s.applicability)).append(" (").append(s.file_name);
  out += ':';
  append_number(out, s.line_start);
  out += ':';
  append_number(out, s.column_start);
  out += ')';
}

}  // namespace

std::string suggestion_title(const Suggestion& s) {
  std::string title;
  append_suggestion_title(title, s);
  return title;
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
    out += "  ";
    append_number(out, s.id);
    out += ". ";
    append_suggestion_title(out, s);
    out += '\n';
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
