#pragma once
/// Cutting a text into lines: at every "\n", with a "\r" directly before it
/// going with the terminator; no final empty line after a closing "\n"; an
/// empty text has no lines. Every filter and counter uses this one rule.

#include <string>
#include <string_view>
#include <vector>

namespace tarnwick {

std::vector<std::string_view> split_lines(std::string_view text);

/// Where the line that starts at `start` and is cut at the "\n" at `newline`
/// ends: before that "\n" and one "\r" directly before it. The pipe reader
/// cuts by this too, so that lines read and lines cut again agree.
size_t line_content_end(std::string_view text, size_t start, size_t newline);

/// The line end to write after `line` so that `split_lines` cuts the text
/// back to exactly `line`: "\n", or "\r\n" when `line` itself ends in "\r"
/// (which a lone "\n" would take away with it).
std::string_view line_end_for(std::string_view line);

/// Appends `line` and its `line_end_for`.
void append_line(std::string& text, std::string_view line);

/// The pieces in order, each but the last followed by its `line_end_for`:
/// `split_lines` cuts the result back into the pieces.
template <typename Piece>
std::string join_lines(const std::vector<Piece>& pieces) {
  std::string joined;
  size_t size = pieces.size();
  for (const Piece& piece : pieces) size += std::string_view(piece).size();
  joined.reserve(size);
  for (size_t i = 0; i < pieces.size(); ++i) {
    if (i > 0) joined += line_end_for(pieces[i - 1]);
    joined += pieces[i];
  }
  return joined;
}

/// Whether `needle` occurs in `text`; quicker than `find` on long lines.
bool has_substring(std::string_view text, std::string_view needle);
/// The same answer, found by looking for the needle's last byte first:
/// quicker still when that byte is rare in the text.
bool has_substring_rare_last(std::string_view text, std::string_view needle);

/// `text` without trailing Unicode white space.
std::string_view trim_end(std::string_view text);
/// `text` without leading Unicode white space.
std::string_view trim_start(std::string_view text);
/// True when the line is empty after trimming.
bool is_blank(std::string_view line);

}  // namespace tarnwick
