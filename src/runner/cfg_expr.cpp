#include "runner/cfg_expr.h"

#include <fmt/format.h>

#include <algorithm>

#include "base/text_lines.h"

namespace tarnwick {
namespace {

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool starts_identifier(char c) {
  return c == '_' || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool continues_identifier(char c) { return starts_identifier(c) || (c >= '0' && c <= '9'); }

/// Parses and evaluates one expression in a single pass; every part is
/// parsed, so a malformed tail fails whatever the value so far.
class CfgEvaluator {
 public:
  CfgEvaluator(std::string_view text, const std::vector<CfgEntry>& cfg) : text_(text), cfg_(cfg) {}

  Result<bool> whole() {
    std::optional<bool> value = word() == "cfg" && eat('(') ? predicate() : fail("`cfg(`");
    if (value && !eat(')')) value = fail("`)`");
    skip_space();
    if (value && pos_ != text_.size()) value = fail("the end");
    if (!value) return make_error(fmt::format("malformed cfg expression `{}`: {}", text_, error_));
    return *value;
  }

 private:
  std::optional<bool> predicate() {
    bool raw = false;
    std::string_view name = word(&raw);
    if (name.empty()) return fail("a name");
    if (!raw && (name == "all" || name == "any")) return list(name == "all");
    if (!raw && name == "not") {
      if (!eat('(')) return fail("`(`");
      std::optional<bool> inner = predicate();
      if (!inner) return std::nullopt;
      if (!eat(')')) return fail("`)`");
      return !*inner;
    }
    if (!raw && (name == "true" || name == "false")) return name == "true";
    if (!eat('=')) return has_entry(name, std::nullopt);
    std::optional<std::string_view> value = quoted();
    if (!value) return fail("a quoted value");
    return has_entry(name, *value);
  }

  /// `(p, ...)` after all or any; a comma may close the list.
  std::optional<bool> list(bool all) {
    if (!eat('(')) return fail("`(`");
    bool value = all;
    while (!eat(')')) {
      std::optional<bool> item = predicate();
      if (!item) return std::nullopt;
      value = all ? value && *item : value || *item;
      if (!eat(',') && !peek(')')) return fail("`,` or `)`");
    }
    return value;
  }

  bool has_entry(std::string_view name, std::optional<std::string_view> value) const {
    return std::any_of(cfg_.begin(), cfg_.end(), [&](const CfgEntry& entry) {
      return entry.name == name && entry.value.has_value() == value.has_value() &&
             (!value || *entry.value == *value);
    });
  }

  /// An identifier, `r#` marking a raw one; empty when none stands here.
  std::string_view word(bool* raw = nullptr) {
    skip_space();
    size_t start = pos_;
    bool is_raw = text_.substr(pos_, 2) == "r#";
    if (is_raw) pos_ += 2;
    if (pos_ == text_.size() || !starts_identifier(text_[pos_])) {
      pos_ = start;
      return {};
    }
    size_t name_start = pos_;
    while (pos_ < text_.size() && continues_identifier(text_[pos_])) ++pos_;
    if (raw) *raw = is_raw;
    return text_.substr(name_start, pos_ - name_start);
  }

  /// A string in double quotes; cargo knows no escapes in them.
  std::optional<std::string_view> quoted() {
    if (!eat('"')) return std::nullopt;
    size_t end = text_.find('"', pos_);
    if (end == std::string_view::npos) return std::nullopt;
    std::string_view value = text_.substr(pos_, end - pos_);
    pos_ = end + 1;
    return value;
  }

  bool peek(char c) {
    skip_space();
    return pos_ < text_.size() && text_[pos_] == c;
  }
  bool eat(char c) {
    if (!peek(c)) return false;
    ++pos_;
    return true;
  }
  void skip_space() {
    while (pos_ < text_.size() && is_space(text_[pos_])) ++pos_;
  }

  std::optional<bool> fail(std::string_view expected) {
    if (error_.empty()) error_ = fmt::format("expected {} at offset {}", expected, pos_);
    return std::nullopt;
  }

  std::string_view text_;
  const std::vector<CfgEntry>& cfg_;
  size_t pos_ = 0;
  std::string error_;
};

}  // namespace

std::vector<CfgEntry> parse_rustc_cfg(std::string_view text) {
  std::vector<CfgEntry> entries;
  for (std::string_view line : split_lines(text)) {
    line = trim_start(trim_end(line));
    if (line.empty()) continue;
    size_t eq = line.find('=');
    if (eq == std::string_view::npos) {
      entries.push_back({std::string(line), std::nullopt});
      continue;
    }
    std::string_view value = line.substr(eq + 1);
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
      value = value.substr(1, value.size() - 2);
    }
    entries.push_back({std::string(line.substr(0, eq)), std::string(value)});
  }
  return entries;
}

bool is_cfg_key(std::string_view key) {
  return key.size() >= 5 && key.substr(0, 4) == "cfg(" && key.back() == ')';
}

Result<bool> cfg_matches(std::string_view expression, const std::vector<CfgEntry>& cfg) {
  return CfgEvaluator(expression, cfg).whole();
}

}  // namespace tarnwick
