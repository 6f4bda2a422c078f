#include "base/json_scan.h"

#include <cstdint>
#include <cstring>
#include <vector>

#include "base/quoted.h"
#include "base/text_lines.h"
#include "base/utf8.h"

namespace tarnwick {
namespace {

/// Numbers longer than this may leave the integer range or lose precision;
/// the full parser judges them.
constexpr size_t kMaxPlainDigits = 15;

/// Whether a byte is plain string content: printable ASCII other than '"'
/// and '\\'.
bool is_plain(uint8_t b) { return b >= 0x20 && b < 0x80 && b != '"' && b != '\\'; }

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool is_hex(char c) { return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

unsigned hex_value(char c) {
  if (is_digit(c)) return static_cast<unsigned>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<unsigned>(c - 'a' + 10);
  return static_cast<unsigned>(c - 'A' + 10);
}

/// The byte a short escape (one other than \u) stands for.
char escaped_byte(char letter) {
  switch (letter) {
    case 'b':
      return '\b';
    case 'f':
      return '\f';
    case 'n':
      return '\n';
    case 'r':
      return '\r';
    case 't':
      return '\t';
    default:
      return letter;  // '"', '\\' and '/'
  }
}

/// Whether `text` holds a byte that a short escape (one other than \u)
/// stands for.
bool holds_short_escape_value(std::string_view text) {
  return text.find_first_of("\"\\/\b\f\n\r\t") != std::string_view::npos;
}

/// Whether the value of a string's content `raw`, with short escapes only,
/// holds `needle`, which holds no byte they stand for: then the needle is
/// written as itself, at a place that is not the letter of an escape (after
/// an even run of backslashes).
bool holds_outside_escapes(std::string_view raw, std::string_view needle) {
  if (needle.empty()) return true;
  const size_t last = needle.size() - 1;
  for (size_t at = raw.find(needle.back(), last); at != std::string_view::npos;
       at = raw.find(needle.back(), at + 1)) {
    if (raw.compare(at - last, last, needle, 0, last) != 0) continue;
    size_t backslashes = 0;
    while (backslashes < at - last && raw[at - last - backslashes - 1] == '\\') ++backslashes;
    if (backslashes % 2 == 0) return true;
  }
  return false;
}

/// Appends the value of a string's content `raw` (escapes the reader
/// vouched for: no surrogates) from `pos` until `out` holds `size` bytes or
/// more, or `raw` ends; returns where it stopped. Plain runs are copied
/// whole, looked through no further than the room left.
size_t append_string_value(std::string_view raw, size_t pos, std::string& out, size_t size) {
  while (pos < raw.size() && out.size() < size) {
    std::string_view ahead = raw.substr(pos, size - out.size());
    size_t plain = std::min(ahead.find('\\'), ahead.size());
    out.append(ahead.substr(0, plain));
    pos += plain;
    if (plain < ahead.size()) {
      if (raw[pos + 1] != 'u') {
        out += escaped_byte(raw[pos + 1]);
        pos += 2;
        continue;
      }
      char32_t code = 0;
      for (size_t i = pos + 2; i < pos + 6; ++i) code = code * 16 + hex_value(raw[i]);
      append_utf8(out, code);
      pos += 6;
    }
  }
  return pos;
}

}  // namespace

/// One pass over the text; every `read_*` call returns false for anything
/// it cannot vouch for.
class JsonScanner {
 public:
  explicit JsonScanner(std::string_view text) : text_(text) {}

  bool at_end() const { return pos_ >= text_.size(); }
  size_t position() const { return pos_; }
  std::string_view text() const { return text_; }
  char peek() const { return text_[pos_]; }
  void advance() { ++pos_; }

  void skip_space() {
    // Mostly nothing to skip: cargo writes its JSON without blanks.
    if (pos_ < text_.size() && static_cast<uint8_t>(text_[pos_]) > ' ') return;
    pos_ = skip_json_space(text_, pos_);
  }

  /// Whether the last string read held a \u escape.
  bool last_had_unicode_escape() const { return unicode_escape_; }

  /// A string at the current '"'; `raw` gets its content as written and
  /// `escaped` whether that holds an escape.
  bool read_string(std::string_view& raw, bool& escaped) {
    size_t start = ++pos_;
    escaped = false;
    unicode_escape_ = false;
    const size_t size = text_.size();
    for (;;) {
      // Straight to the next byte that is not plain ASCII content.
      bool found = false;
      for (; pos_ + 8 <= size; pos_ += 8) {
        uint64_t word = 0;
        std::memcpy(&word, text_.data() + pos_, sizeof word);
        uint64_t stop = bytes_equal_to(word, '"') | bytes_equal_to(word, '\\') |
                        bytes_below(word, 0x20) | (word & (kEachByte * 0x80));
        if (stop != 0) {
          pos_ += static_cast<size_t>(__builtin_ctzll(stop)) / 8;
          found = true;
          break;
        }
      }
      if (!found) {
        while (pos_ < size && is_plain(static_cast<uint8_t>(text_[pos_]))) ++pos_;
        if (pos_ >= size) return false;
      }
      auto b = static_cast<uint8_t>(text_[pos_]);
      if (b == '"') {
        raw = text_.substr(start, pos_ - start);
        ++pos_;
        return true;
      }
      if (b < 0x20) return false;
      if (b == '\\') {
        escaped = true;
        if (!read_escape()) return false;
      } else {
        size_t length = utf8_sequence_length(text_, pos_);
        if (length == 0) return false;
        pos_ += length;
      }
    }
  }

  bool read_number() {
    size_t start = pos_;
    if (text_[pos_] == '-') ++pos_;
    if (at_end()) return false;
    if (text_[pos_] == '0') {
      ++pos_;
    } else if (is_digit(text_[pos_])) {
      while (!at_end() && is_digit(text_[pos_])) ++pos_;
    } else {
      return false;
    }
    if (!at_end() && text_[pos_] == '.') {
      ++pos_;
      if (at_end() || !is_digit(text_[pos_])) return false;
      while (!at_end() && is_digit(text_[pos_])) ++pos_;
    }
    if (!at_end() && (text_[pos_] == 'e' || text_[pos_] == 'E')) return false;
    return pos_ - start <= kMaxPlainDigits;
  }

  bool read_literal() {
    for (std::string_view word : {"true", "false", "null"}) {
      if (text_.substr(pos_, word.size()) == word) {
        pos_ += word.size();
        return true;
      }
    }
    return false;
  }

 private:
  bool read_escape() {
    if (pos_ + 1 >= text_.size()) return false;
    char c = text_[pos_ + 1];
    if (c == 'u') {
      if (pos_ + 6 > text_.size()) return false;
      unsigned code = 0;
      for (size_t i = pos_ + 2; i < pos_ + 6; ++i) {
        if (!is_hex(text_[i])) return false;
        code = code * 16 + hex_value(text_[i]);
      }
      if (code >= 0xD800 && code <= 0xDFFF) return false;  // pairs are left to the parser
      unicode_escape_ = true;
      pos_ += 6;
      return true;
    }
    if (c != '"' && c != '\\' && c != '/' && c != 'b' && c != 'f' && c != 'n' && c != 'r' &&
        c != 't')
      return false;
    pos_ += 2;
    return true;
  }

  std::string_view text_;
  size_t pos_ = 0;
  bool unicode_escape_ = false;
};

bool JsonViewReader::read_value(JsonScanner& scan, JsonView& out, int depth_left) {
  scan.skip_space();
  if (scan.at_end()) return false;
  char c = scan.peek();
  if (c == '"') {
    out.kind = JsonView::Kind::String;
    if (!scan.read_string(out.raw, out.escaped)) return false;
    out.unicode_escaped = scan.last_had_unicode_escape();
    return true;
  }
  if (c == '-' || is_digit(c)) {
    out.kind = JsonView::Kind::Number;
    size_t start = scan.position();
    if (!scan.read_number()) return false;
    out.raw = scan.text().substr(start, scan.position() - start);
    return true;
  }
  if (c != '{' && c != '[') {
    size_t start = scan.position();
    if (!scan.read_literal()) return false;
    out.kind = scan.text()[start] == 'n' ? JsonView::Kind::Null : JsonView::Kind::Bool;
    return true;
  }
  if (depth_left == 0) return false;
  bool object = c == '{';
  char close = object ? '}' : ']';
  out.kind = object ? JsonView::Kind::Object : JsonView::Kind::Array;
  scan.advance();
  scan.skip_space();
  if (!scan.at_end() && scan.peek() == close) {
    scan.advance();
    out.first_ = static_cast<uint32_t>(nodes_.size());
    return true;
  }
  // The members wait above those of the containers around this one; once
  // all are read they move to the block together.
  const size_t mark = pending_.size();
  for (;;) {
    JsonView member;
    if (object) {
      scan.skip_space();
      bool escaped = false;
      if (scan.at_end() || scan.peek() != '"' || !scan.read_string(member.key, escaped) || escaped)
        return false;
      scan.skip_space();
      if (scan.at_end() || scan.peek() != ':') return false;
      scan.advance();
    }
    if (!read_value(scan, member, depth_left - 1)) return false;
    pending_.push_back(member);
    scan.skip_space();
    if (scan.at_end()) return false;
    char next = scan.peek();
    scan.advance();
    if (next == close) break;
    if (next != ',') return false;
  }
  out.first_ = static_cast<uint32_t>(nodes_.size());
  nodes_.insert(nodes_.end(), pending_.begin() + static_cast<std::ptrdiff_t>(mark), pending_.end());
  out.count_ = static_cast<uint32_t>(pending_.size() - mark);
  pending_.resize(mark);
  return true;
}

const JsonView* JsonViewReader::read(std::string_view text, int max_depth) {
  nodes_.clear();
  pending_.clear();
  root_ = JsonView();
  JsonScanner scan(text);
  if (!read_value(scan, root_, max_depth)) return nullptr;
  scan.skip_space();
  if (!scan.at_end()) return nullptr;
  // The block has its final place only now.
  auto place = [this](JsonView& node) {
    if (node.is_object() || node.is_array())
      node.items = std::span<const JsonView>(nodes_.data() + node.first_, node.count_);
  };
  for (JsonView& node : nodes_) place(node);
  place(root_);
  return &root_;
}

size_t skip_json_space(std::string_view text, size_t pos) {
  while (pos < text.size() &&
         (text[pos] == ' ' || text[pos] == '\t' || text[pos] == '\n' || text[pos] == '\r'))
    ++pos;
  return pos;
}

const JsonView* JsonView::find(std::string_view key) const {
  if (kind != Kind::Object) return nullptr;
  for (size_t i = items.size(); i-- > 0;)
    if (items[i].key == key) return &items[i];
  return nullptr;
}

std::string JsonView::string_value() const {
  if (!escaped) return std::string(raw);
  std::string value;
  value.reserve(raw.size());  // an escape is never shorter than its value
  append_string_value(raw, 0, value, raw.size());
  return value;
}

bool JsonView::string_holds(std::string_view needle) const {
  if (!escaped) return has_substring_rare_last(raw, needle);
  if (!unicode_escaped && !holds_short_escape_value(needle))
    return holds_outside_escapes(raw, needle);
  // The value is made a piece at a time, so that a long string is never
  // copied whole; each piece begins with the end of the one before, where a
  // match may have begun.
  constexpr size_t kPiece = size_t{64} << 10;
  const size_t overlap = needle.empty() ? 0 : needle.size() - 1;
  std::string piece;
  size_t pos = 0;
  do {
    piece.erase(0, piece.size() - std::min(piece.size(), overlap));
    pos = append_string_value(raw, pos, piece, piece.size() + kPiece);
    if (has_substring_rare_last(piece, needle)) return true;
  } while (pos < raw.size());
  return false;
}

std::optional<uint64_t> JsonView::unsigned_value() const {
  if (kind != Kind::Number || raw.empty() || raw.front() == '-') return std::nullopt;
  uint64_t value = 0;
  for (char c : raw) {
    if (!is_digit(c)) return std::nullopt;                // a fraction makes it floating point
    value = value * 10 + static_cast<uint64_t>(c - '0');  // short enough not to overflow
  }
  return value;
}

}  // namespace tarnwick
