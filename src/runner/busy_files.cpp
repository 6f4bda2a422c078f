#include "runner/busy_files.h"

#include <fmt/format.h>

#include <array>
#include <unordered_set>

#include "base/json_text.h"
#include "base/text_lines.h"
#include "runner/output_filters.h"
#include "runner/restart_manager.h"

namespace tarnwick {
namespace {

/// Tested in this order. The last two are what Linux reports when a program
/// file is still open for writing by another process.
constexpr std::array<std::string_view, 9> kBusyMarkers = {
    "being used by another process",
    "Access is denied",
    "access is denied",
    "sharing violation",
    "Sharing violation",
    "(os error 32)",
    "(os error 5)",
    "Text file busy",
    "(os error 26)",
};

/// The string reached through `keys` (object members only), if there is one.
const std::string* string_at(const json& value, std::initializer_list<const char*> keys) {
  const json* node = &value;
  for (const char* key : keys) {
    if (!node->is_object()) return nullptr;
    auto it = node->find(key);
    if (it == node->end()) return nullptr;
    node = &*it;
  }
  return node->is_string() ? node->get_ptr<const std::string*>() : nullptr;
}

/// cargo's output with every JSON record replaced by its message text.
std::string plain_text_of(std::string_view text) {
  std::string plain;
  plain.reserve(text.size());
  for (std::string_view line : split_lines(text)) {
    std::string_view rest = trim_start(line);
    if (rest.empty() || rest.front() != '{') {
      plain.append(line).push_back('\n');
      continue;
    }
    std::optional<json> value = parse_json_line(rest);
    if (!value) {
      plain.append(line).push_back('\n');
      continue;
    }
    for (auto keys : {std::initializer_list<const char*>{"message", "rendered"},
                      std::initializer_list<const char*>{"rendered"},
                      std::initializer_list<const char*>{"message", "message"},
                      std::initializer_list<const char*>{"message"}}) {
      if (const std::string* message = string_at(*value, keys)) {
        plain.append(*message);
        if (message->empty() || message->back() != '\n') plain.push_back('\n');
        break;
      }
    }
  }
  return plain;
}

bool starts_block(std::string_view line) {
  std::string_view rest = trim_start(line);
  bool error_start = rest.size() >= 6 && (rest.starts_with("error:") || rest.starts_with("error["));
  return error_start || rest.starts_with("warning:");
}

bool looks_like_path(std::string_view candidate) {
  return candidate.find_first_of("/\\.") != std::string_view::npos;
}

/// `text` with every pair of backslashes, left to right, made one.
std::string unescape_backslashes(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    out.push_back(text[i]);
    if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == '\\') ++i;
  }
  return out;
}

void collect_backtick_paths(std::string_view line, std::vector<BusyPath>& out) {
  size_t pos = 0;
  while (true) {
    size_t open = line.find('`', pos);
    if (open == std::string_view::npos) return;
    size_t close = line.find('`', open + 1);
    if (close == std::string_view::npos) return;
    std::string_view candidate = line.substr(open + 1, close - open - 1);
    if (!candidate.empty() && looks_like_path(candidate)) out.emplace_back(candidate);
    pos = close + 1;
  }
}

void collect_quoted_paths(std::string_view line, std::vector<BusyPath>& out) {
  constexpr std::string_view kLead = "at path \"";
  size_t pos = 0;
  while (true) {
    size_t lead = line.find(kLead, pos);
    if (lead == std::string_view::npos) return;
    size_t begin = lead + kLead.size();
    size_t close = line.find('"', begin);
    if (close == std::string_view::npos) return;
    std::string_view candidate = line.substr(begin, close - begin);
    if (!candidate.empty() && looks_like_path(candidate))
      out.push_back(unescape_backslashes(candidate));
    pos = close + 1;
  }
}

bool is_ascii_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
char ascii_upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

const char* app_type_label(uint8_t app_type) {
  static constexpr const char* kLabels[] = {
      "unknown",  "GUI app", "GUI app (background)",   "service",
      "Explorer", "console", "critical system process"};
  return app_type < std::size(kLabels) ? kLabels[app_type] : kLabels[0];
}

}  // namespace

bool contains_busy_marker(std::string_view text) {
  for (std::string_view marker : kBusyMarkers)
    if (text.find(marker) != std::string_view::npos) return true;
  return false;
}

std::vector<BusyPath> extract_busy_paths(std::string_view text) {
  std::string plain = plain_text_of(text);
  std::vector<std::string_view> lines = split_lines(plain);

  // Block starts; without any, the whole text is one block.
  std::vector<size_t> starts;
  for (size_t i = 0; i < lines.size(); ++i)
    if (starts_block(lines[i])) starts.push_back(i);
  if (starts.empty()) starts.push_back(0);

  std::vector<BusyPath> candidates;
  for (size_t b = 0; b < starts.size(); ++b) {
    size_t begin = starts[b];
    size_t end = b + 1 < starts.size() ? starts[b + 1] : lines.size();
    bool busy = false;
    for (size_t i = begin; i < end && !busy; ++i) busy = contains_busy_marker(lines[i]);
    if (!busy) continue;
    for (size_t i = begin; i < end; ++i) {
      collect_backtick_paths(lines[i], candidates);
      collect_quoted_paths(lines[i], candidates);
    }
  }

  std::vector<BusyPath> result;
  std::unordered_set<std::string> seen;
  for (auto& candidate : candidates)
    if (seen.insert(busy_path_key(candidate)).second) result.push_back(std::move(candidate));
  return result;
}

std::string busy_path_key(std::string_view path) {
  const bool verbatim = path.starts_with("\\\\?\\");
  auto is_sep = [&](char c) { return c == '\\' || (!verbatim && c == '/'); };
  auto read_part = [&](size_t& i) {
    size_t begin = i;
    while (i < path.size() && !is_sep(path[i])) ++i;
    std::string_view part = path.substr(begin, i - begin);
    if (i < path.size()) ++i;
    return part;
  };

  std::string key;
  size_t i = 0;
  if (verbatim) {
    i = 4;
    if (path.size() >= i + 2 && is_ascii_letter(path[i]) && path[i + 1] == ':') {
      key = fmt::format("verbatim-disk:{}", ascii_upper(path[i]));
      i += 2;
    } else if (path.substr(i).starts_with("UNC\\")) {
      i += 4;
      std::string_view server = read_part(i);
      std::string_view share = read_part(i);
      key = fmt::format("verbatim-unc:{}\\{}", server, share);
    } else {
      key = fmt::format("verbatim:{}", read_part(i));
    }
  } else if (path.size() >= 2 && is_ascii_letter(path[0]) && path[1] == ':') {
    key = fmt::format("disk:{}", ascii_upper(path[0]));
    i = 2;
  } else if (path.size() >= 2 && is_sep(path[0]) && is_sep(path[1])) {
    i = 2;
    std::string_view server = read_part(i);
    std::string_view share = read_part(i);
    key = fmt::format("unc:{}\\{}", server, share);
  }
  const bool has_prefix = !key.empty();
  key.push_back('\0');
  // Every prefix but a plain drive letter carries its root with it.
  const bool implicit_root = has_prefix && !key.starts_with("disk:");
  const bool rooted = implicit_root || (i < path.size() && is_sep(path[i]));
  if (rooted) key.push_back('/');

  // Only a "." that opens a plain relative path counts as a component.
  bool at_start = !has_prefix && !rooted;
  while (i < path.size()) {
    std::string_view part = read_part(i);
    if (part.empty()) continue;
    bool keep_dot = at_start;
    at_start = false;
    if (part == "." && !keep_dot) continue;
    key.append(part).push_back('\0');
  }
  return key;
}

void format_busy_report(std::string& target, const std::vector<PathHolders>& list) {
  std::string report =
      fmt::format("tarnwick: {} file(s) reported in use by other processes:\n", list.size());
  for (const PathHolders& entry : list) {
    report += fmt::format("  {}\n", entry.path);
    if (entry.error) {
      report += fmt::format("    (Restart Manager: {})\n", *entry.error);
    } else if (entry.holders.empty()) {
      report += "    (no current holders - likely a transient AV / indexer scan)\n";
    } else {
      for (const FileHolder& holder : entry.holders) {
        std::string image = holder.image_path ? fmt::format(" ({})", *holder.image_path) : "";
        report += fmt::format("    PID {} - {}{} [{}]\n", holder.pid, holder.app_name, image,
                              app_type_label(holder.app_type));
      }
    }
  }
  if (target.empty() || target.back() != '\n') target.push_back('\n');
  target.push_back('\n');
  target += report;
}

}  // namespace tarnwick
