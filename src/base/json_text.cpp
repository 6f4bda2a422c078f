#include "base/json_text.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "base/json_scan.h"
#include "base/utf8.h"

namespace tarnwick {
namespace {

/// The escape the JSON writer uses for one byte, padded to a word so that
/// it is copied whole; `size` 0 when the byte stays as it is.
struct Escape {
  char bytes[8] = {};
  uint8_t size = 0;
};

/// For each byte, its escape. Control characters without a short form
/// become \u00xx.
const std::array<Escape, 256>& escapes() {
  static const std::array<Escape, 256> table = [] {
    static constexpr std::string_view kHex[32] = {
        "\\u0000", "\\u0001", "\\u0002", "\\u0003", "\\u0004", "\\u0005", "\\u0006", "\\u0007",
        "\\b",     "\\t",     "\\n",     "\\u000b", "\\f",     "\\r",     "\\u000e", "\\u000f",
        "\\u0010", "\\u0011", "\\u0012", "\\u0013", "\\u0014", "\\u0015", "\\u0016", "\\u0017",
        "\\u0018", "\\u0019", "\\u001a", "\\u001b", "\\u001c", "\\u001d", "\\u001e", "\\u001f"};
    std::array<Escape, 256> built{};
    auto set = [&built](size_t byte, std::string_view escape) {
      escape.copy(built[byte].bytes, escape.size());
      built[byte].size = static_cast<uint8_t>(escape.size());
    };
    for (size_t i = 0; i < 32; ++i) set(i, kHex[i]);
    set('"', "\\\"");
    set('\\', "\\\\");
    return built;
  }();
  return table;
}

/// Hands `out` to `spill` (which empties it) once it holds `kSpillSize` bytes.
constexpr size_t kSpillSize = size_t{1} << 20;

void maybe_spill(std::string& out, const JsonSpill* spill) {
  if (spill && out.size() >= kSpillSize) (*spill)(out);
}

/// The high bits of the bytes of `word` the writer escapes: '"', '\\' and
/// control characters (only the lowest is sure, see `bytes_equal_to`).
uint64_t escaped_bytes(uint64_t word) {
  return bytes_equal_to(word, '"') | bytes_equal_to(word, '\\') | bytes_below(word, 0x20);
}

/// Appends `block` with the writer's escapes, straight into room made in
/// `out`. Sixteen (or eight) bytes are copied at a time, escapes or not, and
/// the output moves on past the bytes that needed none; most escapes take
/// two bytes, so twice the block (and some slack) is made room for, and more
/// only when \\u00xx escapes run out of it.
void append_escaped_block(std::string& out, std::string_view block) {
  const auto& table = escapes();
  constexpr size_t kSlack = 32;  // a copied chunk, and the longest escape
  size_t written = out.size();
  out.resize(written + 2 * block.size() + kSlack);
  const char* src = block.data();
  const char* const end = src + block.size();
  char* dst = out.data() + written;
  // The room left always covers twice the bytes left plus the slack.
  auto write_escape = [&] {
    const Escape& escape = table[static_cast<uint8_t>(*src++)];
    if (escape.size > 2) {
      size_t at = static_cast<size_t>(dst - out.data());
      size_t needed = escape.size + static_cast<size_t>(end - src) * 2 + kSlack;
      if (out.size() - at < needed) {
        out.resize(at + needed + block.size());
        dst = out.data() + at;
      }
    }
    std::memcpy(dst, escape.bytes, sizeof escape.bytes);
    dst += escape.size;
  };
#if defined(__SSE2__)
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  const __m128i last_control = _mm_set1_epi8(0x1F);
  // Sixteen bytes and the sixteen after them can be read: every byte of a
  // chunk to be escaped is handled in place, each escape followed by the
  // rest of the chunk copied whole.
  while (end - src >= 32) {
    __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
    __m128i control = _mm_cmpeq_epi8(_mm_min_epu8(chunk, last_control), chunk);
    __m128i special = _mm_or_si128(
        _mm_or_si128(_mm_cmpeq_epi8(chunk, quote), _mm_cmpeq_epi8(chunk, backslash)), control);
    auto mask = static_cast<unsigned>(_mm_movemask_epi8(special));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), chunk);
    const char* const base = src;
    size_t placed = 0;  // bytes of the chunk in their place already
    while (mask != 0) {
      auto at = static_cast<size_t>(__builtin_ctz(mask));
      mask &= mask - 1;
      dst += at - placed;
      src = base + at;
      write_escape();
      placed = at + 1;
      _mm_storeu_si128(reinterpret_cast<__m128i*>(dst),
                       _mm_loadu_si128(reinterpret_cast<const __m128i*>(base + placed)));
    }
    dst += 16 - placed;
    src = base + 16;
  }
#endif
  while (src < end) {
    if (end - src >= 8) {
      uint64_t word = 0;
      std::memcpy(&word, src, sizeof word);
      std::memcpy(dst, &word, sizeof word);
      uint64_t special = escaped_bytes(word);
      if (special == 0) {
        src += 8;
        dst += 8;
        continue;
      }
      auto plain = static_cast<size_t>(__builtin_ctzll(special)) / 8;
      src += plain;
      dst += plain;
    }
    if (table[static_cast<uint8_t>(*src)].size == 0) {
      *dst++ = *src++;
      continue;
    }
    write_escape();
  }
  out.resize(static_cast<size_t>(dst - out.data()));
}

void append_escaped_string(std::string& out, const std::string& text, const JsonSpill* spill) {
  if (valid_utf8_prefix(text) != text.size()) {
    // The library's own writer decides how invalid bytes are replaced.
    out += to_json_text(json(text));
    maybe_spill(out, spill);
    return;
  }
  out.reserve(out.size() + (spill ? std::min(text.size(), kSpillSize) : text.size()) + 64);
  out += '"';
  // In blocks, so that a long string is handed on in pieces as it is written.
  constexpr size_t kBlock = kSpillSize / 2;
  for (size_t at = 0; at < text.size(); at += kBlock) {
    append_escaped_block(out, std::string_view(text).substr(at, kBlock));
    maybe_spill(out, spill);
  }
  out += '"';
  maybe_spill(out, spill);
}

}  // namespace

std::string to_json_text(const json& value) {
  try {
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
  } catch (const std::exception&) {
    // Only reachable through allocation failure; a record stands in.
    return "{}";
  }
}

void append_json_text(std::string& out, const json& value, const JsonSpill* spill) {
  switch (value.type()) {
    case json::value_t::string:
      append_escaped_string(out, value.get_ref<const std::string&>(), spill);
      return;
    case json::value_t::object: {
      out += '{';
      bool first = true;
      for (const auto& [key, member] : value.get_ref<const json::object_t&>()) {
        if (!first) out += ',';
        first = false;
        append_escaped_string(out, key, spill);
        out += ':';
        append_json_text(out, member, spill);
      }
      out += '}';
      return;
    }
    case json::value_t::array: {
      out += '[';
      bool first = true;
      for (const json& element : value) {
        if (!first) out += ',';
        first = false;
        append_json_text(out, element, spill);
      }
      out += ']';
      return;
    }
    default:
      out += to_json_text(value);  // numbers, literals and binary, as the library writes them
      return;
  }
}

const json* find_member(const json& value, std::string_view key) {
  if (!value.is_object()) return nullptr;
  auto it = value.find(key);
  return it == value.end() ? nullptr : &*it;
}

namespace {

bool is_json_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

/// The end of the string that starts at the '"' at `pos` of valid JSON.
size_t string_end(std::string_view text, size_t pos) {
  for (++pos; pos < text.size(); ++pos) {
    if (text[pos] == '\\')
      ++pos;
    else if (text[pos] == '"')
      return pos + 1;
  }
  return text.size();
}

/// The end of the value that starts at `pos` of valid JSON.
size_t value_end(std::string_view text, size_t pos) {
  if (pos >= text.size()) return pos;
  if (text[pos] == '"') return string_end(text, pos);
  if (text[pos] != '{' && text[pos] != '[') {
    while (pos < text.size() && !is_json_space(text[pos]) && text[pos] != ',' && text[pos] != ']' &&
           text[pos] != '}')
      ++pos;
    return pos;
  }
  size_t depth = 0;
  while (pos < text.size()) {
    char c = text[pos];
    if (c == '"') {
      pos = string_end(text, pos);
      continue;
    }
    ++pos;
    if (c == '{' || c == '[') {
      ++depth;
    } else if ((c == '}' || c == ']') && --depth == 0) {
      break;
    }
  }
  return pos;
}

/// A key as written, quotes included, with its escapes resolved.
std::string key_value(std::string_view quoted_key) {
  if (quoted_key.find('\\') == std::string_view::npos)
    return std::string(quoted_key.substr(1, quoted_key.size() - 2));
  json key = json::parse(quoted_key, nullptr, /*allow_exceptions=*/false);
  return key.is_string() ? key.get<std::string>() : std::string();
}

}  // namespace

std::string compact_json_text(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t pos = 0; pos < text.size();) {
    if (text[pos] == '"') {
      size_t end = string_end(text, pos);
      out.append(text.substr(pos, end - pos));
      pos = end;
    } else {
      if (!is_json_space(text[pos])) out += text[pos];
      ++pos;
    }
  }
  return out;
}

std::optional<std::string_view> member_text(std::string_view text, std::string_view key) {
  size_t pos = skip_json_space(text, 0);
  if (pos >= text.size() || text[pos] != '{') return std::nullopt;
  std::optional<std::string_view> found;
  for (pos = skip_json_space(text, pos + 1); pos < text.size() && text[pos] == '"';) {
    size_t key_end = string_end(text, pos);
    bool wanted = key_value(text.substr(pos, key_end - pos)) == key;
    pos = skip_json_space(text, skip_json_space(text, key_end) + 1);  // past the ':'
    size_t end = value_end(text, pos);
    if (wanted) found = text.substr(pos, end - pos);
    pos = skip_json_space(text, end);
    if (pos >= text.size() || text[pos] != ',') break;
    pos = skip_json_space(text, pos + 1);
  }
  return found;
}

bool json_nesting_exceeds(std::string_view text, int max_depth) {
  int depth = 0;
  bool in_string = false;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (in_string) {
      if (c == '\\')
        ++i;
      else if (c == '"')
        in_string = false;
      continue;
    }
    if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > max_depth) return true;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return false;
}

}  // namespace tarnwick
