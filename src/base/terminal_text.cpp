#include "base/terminal_text.h"

#include <algorithm>

namespace tarnwick {
namespace {

constexpr char kEscape = '\x1b';
constexpr char kBell = '\x07';

/// The length of the escape sequence at `at` (which holds ESC): a control
/// sequence ("ESC [" parameters and one final byte), an operating-system
/// command ("ESC ]" up to BEL or "ESC \"), or ESC, any intermediate bytes
/// and one final byte ("ESC ( B").
size_t escape_length(std::string_view line, size_t at) {
  size_t next = at + 1;
  if (next >= line.size()) return 1;
  if (line[next] == '[') {
    size_t end = next + 1;
    while (end < line.size() && static_cast<unsigned char>(line[end]) >= 0x20 &&
           static_cast<unsigned char>(line[end]) < 0x40)
      ++end;
    return end < line.size() ? end + 1 - at : end - at;
  }
  if (line[next] == ']') {
    for (size_t end = next + 1; end < line.size(); ++end) {
      if (line[end] == kBell) return end + 1 - at;
      if (line[end] == kEscape && end + 1 < line.size() && line[end + 1] == '\\')
        return end + 2 - at;
    }
    return line.size() - at;
  }
  size_t end = next;
  while (end < line.size() && line[end] >= 0x20 && line[end] < 0x30) ++end;
  return std::min(end + 1, line.size()) - at;
}

}  // namespace

VisibleText::VisibleText(std::string_view line) : line_(line) {
  if (line.find(kEscape) == std::string_view::npos) return;
  copied_ = true;
  copy_.reserve(line.size());
  for (size_t at = 0; at < line.size();) {
    if (line[at] == kEscape) {
      at += escape_length(line, at);
      continue;
    }
    copy_.push_back(line[at]);
    ++at;
  }
}

size_t after_last_carriage_return(std::string_view line) {
  size_t end = line.size();
  while (end > 0 && line[end - 1] == '\r') --end;
  size_t cr = line.substr(0, end).rfind('\r');
  return cr == std::string_view::npos ? 0 : cr + 1;
}

}  // namespace tarnwick
