#include "base/json_text.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

#include "base/utf8.h"

namespace tarnwick {
namespace {

/// For each byte, the escape the JSON writer uses, or nothing when the byte
/// stays as it is. Control characters without a short form become \u00xx.
const std::array<std::string_view, 256>& escapes() {
  static const std::array<std::string_view, 256> table = [] {
    static constexpr std::string_view kHex[32] = {
        "\\u0000", "\\u0001", "\\u0002", "\\u0003", "\\u0004", "\\u0005", "\\u0006", "\\u0007",
        "\\b",     "\\t",     "\\n",     "\\u000b", "\\f",     "\\r",     "\\u000e", "\\u000f",
        "\\u0010", "\\u0011", "\\u0012", "\\u0013", "\\u0014", "\\u0015", "\\u0016", "\\u0017",
        "\\u0018", "\\u0019", "\\u001a", "\\u001b", "\\u001c", "\\u001d", "\\u001e", "\\u001f"};
    std::array<std::string_view, 256> built{};
    for (size_t i = 0; i < 32; ++i) built[i] = kHex[i];
    built['"'] = "\\\"";
    built['\\'] = "\\\\";
    return built;
  }();
  return table;
}

/// Whether one of the eight bytes of `word` needs an escape.
bool needs_escape(uint64_t word) {
  return any_byte_below(word, 0x20) || any_byte_is(word, '"') || any_byte_is(word, '\\');
}

/// The first position from `from` on whose byte may need an escape, or a
/// position near `end`; whole words without one are skipped.
size_t skip_plain(const std::string& text, size_t from, size_t end) {
  while (from + 8 <= end) {
    uint64_t word = 0;
    std::memcpy(&word, text.data() + from, sizeof word);
    if (needs_escape(word)) break;
    from += 8;
  }
  return from;
}

/// Hands `out` to `spill` (which empties it) once it holds `kSpillSize` bytes.
constexpr size_t kSpillSize = size_t{1} << 20;

void maybe_spill(std::string& out, const JsonSpill* spill) {
  if (spill && out.size() >= kSpillSize) (*spill)(out);
}

void append_escaped_string(std::string& out, const std::string& text, const JsonSpill* spill) {
  if (valid_utf8_prefix(text) != text.size()) {
    // The library's own writer decides how invalid bytes are replaced.
    out += to_json_text(json(text));
    maybe_spill(out, spill);
    return;
  }
  const auto& table = escapes();
  // Room for the string and a little of what follows, so that a long result
  // is not copied again as it grows. Written out in pieces, room for a
  // piece is enough; built whole, the escapes are counted first.
  constexpr size_t kTailRoom = 64;
  size_t room = text.size() + 2;
  if (spill) {
    room = std::min(room + room / 8, 2 * kSpillSize);
  } else {
    const size_t end = text.size();
    for (size_t i = skip_plain(text, 0, end); i < end; i = skip_plain(text, i + 1, end))
      if (size_t escape = table[static_cast<uint8_t>(text[i])].size(); escape != 0)
        room += escape - 1;
  }
  out.reserve(out.size() + room + kTailRoom);
  out += '"';
  size_t run = 0;
  size_t i = 0;
  while (i < text.size()) {
    size_t stop = std::min(text.size(), run + kSpillSize);
    i = skip_plain(text, i, stop);
    if (i >= stop) {
      out.append(text, run, i - run);  // a long run without escapes
      run = i;
      maybe_spill(out, spill);
      continue;
    }
    std::string_view escape = table[static_cast<uint8_t>(text[i])];
    if (!escape.empty()) {
      out.append(text, run, i - run);
      out += escape;
      run = i + 1;
      maybe_spill(out, spill);
    }
    ++i;
  }
  out.append(text, run, std::string::npos);
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
