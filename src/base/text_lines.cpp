#include "base/text_lines.h"

#include <string.h>

#include "base/quoted.h"

namespace tarnwick {

bool has_substring(std::string_view text, std::string_view needle) {
  if (needle.empty()) return true;
  return ::memmem(text.data(), text.size(), needle.data(), needle.size()) != nullptr;
}

bool has_substring_rare_last(std::string_view text, std::string_view needle) {
  if (needle.empty()) return true;
  const size_t last = needle.size() - 1;
  for (size_t at = text.find(needle.back(), last); at != std::string_view::npos;
       at = text.find(needle.back(), at + 1)) {
    if (text.compare(at - last, last, needle, 0, last) == 0) return true;
  }
  return false;
}

std::vector<std::string_view> split_lines(std::string_view text) {
  std::vector<std::string_view> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t nl = text.find('\n', start);
    if (nl == std::string_view::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, line_content_end(text, start, nl) - start));
    start = nl + 1;
  }
  return lines;
}

size_t line_content_end(std::string_view text, size_t start, size_t newline) {
  return newline > start && text[newline - 1] == '\r' ? newline - 1 : newline;
}

std::string_view line_end_for(std::string_view line) {
  return line.ends_with('\r') ? "\r\n" : "\n";
}

void append_line(std::string& text, std::string_view line) {
  text.append(line).append(line_end_for(line));
}

std::string_view trim_end(std::string_view text) {
  std::string_view trimmed = trim(text);
  if (trimmed.empty()) return {};
  return text.substr(0, static_cast<size_t>(trimmed.data() - text.data()) + trimmed.size());
}

std::string_view trim_start(std::string_view text) {
  std::string_view trimmed = trim(text);
  if (trimmed.empty()) return {};
  return text.substr(static_cast<size_t>(trimmed.data() - text.data()));
}

bool is_blank(std::string_view line) { return trim(line).empty(); }

}  // namespace tarnwick
