#include "server/message.h"

#include <cmath>
#include <cstdlib>
#include <vector>

#include "base/quoted.h"
#include "base/utf8.h"

namespace tarnwick {
namespace {

constexpr const char* kFieldNames[] = {"jsonrpc", "id", "method", "params"};
enum Field { kJsonrpc = 0, kId = 1, kMethod = 2, kParams = 3 };

/// A single-pass reader over the trimmed line. Every read_* function returns
/// false after recording the reason and the byte offset of the fault.
class MessageReader {
 public:
  explicit MessageReader(std::string_view text) : text_(text) {}

  Result<Message> read() {
    Message message;
    if (!read_message(message)) return MessageError{reason_ + position_suffix()};
    return message;
  }

  Result<json> read_value() {
    std::optional<json> value;
    if (!check_utf8() || !read_whole(value)) return MessageError{reason_ + position_suffix()};
    return value ? std::move(*value) : json(nullptr);
  }

 private:
  bool at_end() const { return pos_ >= text_.size(); }
  char peek() const { return text_[pos_]; }

  void skip_ws() {
    while (!at_end() && (peek() == ' ' || peek() == '\t' || peek() == '\n' || peek() == '\r'))
      ++pos_;
  }

  bool fail(std::string reason, size_t offset) {
    reason_ = std::move(reason);
    fault_ = offset;
    return false;
  }
  /// A fault found at the end of the text is reported at its last byte.
  bool fail_eof(std::string_view while_parsing) {
    return fail("EOF while parsing " + std::string(while_parsing), text_.size());
  }

  std::string position_suffix() const {
    size_t offset = text_.empty() ? 0 : std::min(fault_, text_.size() - 1);
    size_t line = 1, line_start = 0;
    for (size_t i = 0; i < offset; ++i) {
      if (text_[i] == '\n') {
        ++line;
        line_start = i + 1;
      }
    }
    size_t column = text_.empty() ? 0 : offset - line_start + 1;
    return " at line " + std::to_string(line) + " column " + std::to_string(column);
  }

  /// Refuses text that is not UTF-8 as a whole, before any JSON is read.
  bool check_utf8() {
    size_t valid = valid_utf8_prefix(text_);
    return valid == text_.size() || fail("invalid UTF-8", valid);
  }

  bool read_message(Message& message) {
    if (!check_utf8()) return false;
    skip_ws();
    if (at_end()) return fail_eof("a value");
    bool ok = false;
    if (peek() == '{') {
      ok = read_object_form(message);
    } else if (peek() == '[') {
      ok = read_array_form(message);
    } else {
      size_t start = pos_;
      if (!skip_value(0)) return false;
      ok = fail("invalid type: " + describe(text_.substr(start, pos_ - start)) +
                    ", expected struct Message",
                pos_ - 1);
    }
    return ok && at_text_end();
  }

  /// Only white space may follow the value.
  bool at_text_end() {
    skip_ws();
    return at_end() || fail("trailing characters", pos_);
  }

  /// The whole text as one value at the top level.
  bool read_whole(std::optional<json>& value) {
    skip_ws();
    size_t start = pos_;
    if (!skip_value(0)) return false;
    size_t end = pos_;
    return at_text_end() && build_value(text_.substr(start, end - start), start, value);
  }

  bool read_object_form(Message& message) {
    bool seen[4] = {};
    ++pos_;  // '{'
    skip_ws();
    if (at_end()) return fail_eof("an object");
    if (peek() != '}') {
      for (;;) {
        if (at_end()) return fail_eof("an object");
        if (peek() != '"') return fail("key must be a string", pos_);
        std::string key;
        if (!read_string(&key)) return false;
        int field = -1;
        for (int i = 0; i < 4; ++i) {
          if (key == kFieldNames[i]) field = i;
        }
        if (field >= 0) {
          if (seen[field]) return fail("duplicate field `" + key + "`", pos_ - 1);
          seen[field] = true;
        }
        skip_ws();
        if (at_end()) return fail_eof("an object");
        if (peek() != ':') return fail("expected `:`", pos_);
        ++pos_;
        skip_ws();
        if (!read_field(field, message)) return false;
        skip_ws();
        if (at_end()) return fail_eof("an object");
        if (peek() == '}') break;
        if (peek() != ',') return fail("expected `,` or `}`", pos_);
        ++pos_;
        skip_ws();
        if (!at_end() && peek() == '}') return fail("trailing comma", pos_);
      }
    }
    size_t close = pos_++;
    if (!seen[kJsonrpc]) return fail("missing field `jsonrpc`", close);
    if (!seen[kMethod]) return fail("missing field `method`", close);
    return true;
  }

  bool read_array_form(Message& message) {
    static const std::string kExpected = ", expected struct Message with 4 elements";
    ++pos_;  // '['
    for (int k = 0; k < 4; ++k) {
      skip_ws();
      if (at_end()) return fail_eof("a list");
      if (peek() == ']') return fail("invalid length " + std::to_string(k) + kExpected, pos_);
      if (k > 0) {
        if (peek() != ',') return fail("expected `,` or `]`", pos_);
        ++pos_;
        skip_ws();
        if (at_end()) return fail_eof("a value");
        if (peek() == ']') return fail("trailing comma", pos_);
      }
      if (!read_field(k, message)) return false;
    }
    skip_ws();
    if (at_end()) return fail_eof("a list");
    if (peek() == ',') return fail("more than 4 elements" + kExpected, pos_);
    if (peek() != ']') return fail("expected `,` or `]`", pos_);
    ++pos_;
    return true;
  }

  /// Reads the value of one of the four fields (or skips another key's).
  bool read_field(int field, Message& message) {
    switch (field) {
      case kJsonrpc:
        return read_text_field(message.jsonrpc);
      case kMethod:
        return read_text_field(message.method);
      case kId: {
        std::string_view written;
        if (!read_any_field(message.id, written)) return false;
        message.id_text = compact_json_text(written);
        return true;
      }
      case kParams:
        return read_any_field(message.params, message.params_text);
      default:
        return skip_value(1);
    }
  }

  bool read_text_field(std::string& out) {
    if (at_end()) return fail_eof("a value");
    if (peek() == '"') return read_string(&out);
    if (peek() == '{') return fail("invalid type: map, expected a string", pos_);
    if (peek() == '[') return fail("invalid type: sequence, expected a string", pos_);
    size_t start = pos_;
    if (!skip_value(1)) return false;
    return fail(
        "invalid type: " + describe(text_.substr(start, pos_ - start)) + ", expected a string",
        pos_ - 1);
  }

  /// Any JSON value; null counts as absent (and leaves `written` empty).
  /// `written` gets the value's text.
  bool read_any_field(std::optional<json>& out, std::string_view& written) {
    size_t start = pos_;
    if (!skip_value(1)) return false;
    std::string_view token = text_.substr(start, pos_ - start);
    if (token == "null") {
      out.reset();
      written = {};
      return true;
    }
    written = token;
    return build_value(token, start, out);
  }

  /// Builds the value of `token` (checked text found at `offset`) with the
  /// JSON library, so it is exactly what the library reads, but for "-0".
  bool build_value(std::string_view token, size_t offset, std::optional<json>& out) {
    try {
      std::optional<std::string> adjusted = with_negative_zeros_as_floats(token, offset);
      out = json::parse(adjusted ? std::string_view(*adjusted) : token);
    } catch (const json::exception&) {
      return fail("invalid value", offset);
    }
    return true;
  }

  /// The JSON library reads "-0" as the integer 0; as an id it counts as the
  /// floating-point minus zero, which matches no integer. Those tokens within
  /// `token` (found at `offset` in the text) get a fraction; nothing when
  /// there are none, so a long value is not copied for nothing.
  std::optional<std::string> with_negative_zeros_as_floats(std::string_view token,
                                                           size_t offset) const {
    std::optional<std::string> out;
    size_t copied = 0;
    for (size_t at : negative_zeros_) {
      if (at < offset || at >= offset + token.size()) continue;
      if (!out) out.emplace();
      size_t end = at - offset + 2;  // just after "-0"
      out->append(token.substr(copied, end - copied));
      *out += ".0";
      copied = end;
    }
    if (out) out->append(token.substr(copied));
    return out;
  }

  static std::string describe(std::string_view token) {
    if (token == "null") return "null";
    if (token == "true" || token == "false") return "boolean `" + std::string(token) + "`";
    if (!token.empty() && token[0] == '"') return "string " + std::string(token);
    if (token.find_first_of(".eE") != std::string_view::npos) {
      return "floating point `" + std::string(token) + "`";
    }
    return "integer `" + std::string(token) + "`";
  }

  /// Checks one value of any kind at `depth` (the nesting of its container).
  bool skip_value(int depth) {
    if (at_end()) return fail_eof("a value");
    char c = peek();
    if (c == '{' || c == '[') return skip_container(depth + 1);
    if (c == '"') return read_string(nullptr);
    if (c == '-' || (c >= '0' && c <= '9')) return read_number();
    if (c == 't') return read_literal("true");
    if (c == 'f') return read_literal("false");
    if (c == 'n') return read_literal("null");
    return fail("expected value", pos_);
  }

  bool skip_container(int depth) {
    if (depth > kMaxMessageDepth) return fail("recursion limit exceeded", pos_);
    const bool is_object = peek() == '{';
    const char close = is_object ? '}' : ']';
    const char* what = is_object ? "an object" : "a list";
    ++pos_;
    skip_ws();
    if (at_end()) return fail_eof(what);
    if (peek() == close) {
      ++pos_;
      return true;
    }
    for (;;) {
      if (is_object) {
        if (at_end()) return fail_eof(what);
        if (peek() != '"') return fail("key must be a string", pos_);
        if (!read_string(nullptr)) return false;
        skip_ws();
        if (at_end()) return fail_eof(what);
        if (peek() != ':') return fail("expected `:`", pos_);
        ++pos_;
        skip_ws();
      }
      if (!skip_value(depth)) return false;
      skip_ws();
      if (at_end()) return fail_eof(what);
      if (peek() == close) {
        ++pos_;
        return true;
      }
      if (peek() != ',')
        return fail(is_object ? "expected `,` or `}`" : "expected `,` or `]`", pos_);
      ++pos_;
      skip_ws();
      if (!at_end() && peek() == close) return fail("trailing comma", pos_);
    }
  }

  bool read_literal(std::string_view word) {
    for (char expected : word) {
      if (at_end()) return fail_eof("a value");
      if (peek() != expected) return fail("expected `" + std::string(word) + "`", pos_);
      ++pos_;
    }
    return true;
  }

  bool read_number() {
    const size_t start = pos_;
    auto digit = [&] { return !at_end() && peek() >= '0' && peek() <= '9'; };
    bool integral = true;
    if (peek() == '-') ++pos_;
    if (at_end()) return fail_eof("a value");
    if (peek() == '0') {
      ++pos_;
      if (digit()) return fail("invalid number", pos_);
    } else if (digit()) {
      while (digit()) ++pos_;
    } else {
      return fail("invalid number", pos_);
    }
    if (!at_end() && peek() == '.') {
      integral = false;
      ++pos_;
      if (!digit()) return at_end() ? fail_eof("a value") : fail("invalid number", pos_);
      while (digit()) ++pos_;
    }
    if (!at_end() && (peek() == 'e' || peek() == 'E')) {
      integral = false;
      ++pos_;
      if (!at_end() && (peek() == '+' || peek() == '-')) ++pos_;
      if (!digit()) return at_end() ? fail_eof("a value") : fail("invalid number", pos_);
      while (digit()) ++pos_;
    }
    if (integral && text_.substr(start, pos_ - start) == "-0") negative_zeros_.push_back(start);
    // Integers beyond 64 bits become floating point, as in the JSON library;
    // only values beyond the floating-point range are refused.
    if (!integral || pos_ - start > 19) {
      std::string token(text_.substr(start, pos_ - start));
      double value = std::strtod(token.c_str(), nullptr);
      if (!std::isfinite(value)) return fail("number out of range", start);
    }
    return true;
  }

  bool read_hex4(char32_t& out) {
    out = 0;
    for (int i = 0; i < 4; ++i) {
      if (at_end()) return fail_eof("a string");
      char c = peek();
      int v = (c >= '0' && c <= '9')   ? c - '0'
              : (c >= 'a' && c <= 'f') ? c - 'a' + 10
              : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                       : -1;
      if (v < 0) return fail("invalid escape", pos_);
      out = out * 16 + static_cast<char32_t>(v);
      ++pos_;
    }
    return true;
  }

  bool read_escape(std::string* out) {
    if (at_end()) return fail_eof("a string");
    char e = text_[pos_++];
    char plain = 0;
    switch (e) {
      case '"':
        plain = '"';
        break;
      case '\\':
        plain = '\\';
        break;
      case '/':
        plain = '/';
        break;
      case 'b':
        plain = '\b';
        break;
      case 'f':
        plain = '\f';
        break;
      case 'n':
        plain = '\n';
        break;
      case 'r':
        plain = '\r';
        break;
      case 't':
        plain = '\t';
        break;
      case 'u':
        break;
      default:
        return fail("invalid escape", pos_ - 1);
    }
    if (e != 'u') {
      if (out) *out += plain;
      return true;
    }
    char32_t cp = 0;
    if (!read_hex4(cp)) return false;
    if (cp >= 0xDC00 && cp <= 0xDFFF)
      return fail("lone trailing surrogate in hex escape", pos_ - 1);
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      if (text_.substr(pos_, 2) != "\\u") return fail("lone leading surrogate in hex escape", pos_);
      pos_ += 2;
      char32_t low = 0;
      if (!read_hex4(low)) return false;
      if (low < 0xDC00 || low > 0xDFFF)
        return fail("lone leading surrogate in hex escape", pos_ - 1);
      cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
    }
    if (out) append_utf8(*out, cp);
    return true;
  }

  /// Reads a string at '"', decoding it into `out` when given.
  bool read_string(std::string* out) {
    ++pos_;  // '"'
    for (;;) {
      if (at_end()) return fail_eof("a string");
      unsigned char c = static_cast<unsigned char>(peek());
      if (c == '"') {
        ++pos_;
        return true;
      }
      if (c == '\\') {
        ++pos_;
        if (!read_escape(out)) return false;
      } else if (c < 0x20) {
        return fail("control character (\\u0000-\\u001F) found while parsing a string", pos_);
      } else {
        // The text was found valid UTF-8 before reading began.
        if (out) *out += static_cast<char>(c);
        ++pos_;
      }
    }
  }

  std::string_view text_;
  size_t pos_ = 0;
  std::string reason_;
  size_t fault_ = 0;
  std::vector<size_t> negative_zeros_;  // offsets of "-0" integer tokens, in text order
};

}  // namespace

Result<Message> parse_message(std::string_view text) { return MessageReader(text).read(); }

Result<json> parse_json_value(std::string_view text) { return MessageReader(text).read_value(); }

}  // namespace tarnwick
