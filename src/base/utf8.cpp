#include "base/utf8.h"

#include <cstdint>
#include <cstring>

#include "base/quoted.h"

namespace tarnwick {
namespace {

constexpr uint64_t kHighBits = 0x8080808080808080ULL;

bool is_continuation(uint8_t b) { return (b & 0xC0) == 0x80; }

/// The length of the valid sequence that starts with the non-ASCII byte at
/// `p[0]`, or 0 when it is not valid. `left` counts the bytes from `p` on.
size_t sequence_length(const uint8_t* p, size_t left) {
  uint8_t b0 = p[0];
  if (b0 >= 0xC2 && b0 <= 0xDF) return left >= 2 && is_continuation(p[1]) ? 2 : 0;
  if (b0 >= 0xE0 && b0 <= 0xEF) {
    if (left < 3 || !is_continuation(p[1]) || !is_continuation(p[2])) return 0;
    if (b0 == 0xE0 && p[1] < 0xA0) return 0;   // overlong
    if (b0 == 0xED && p[1] >= 0xA0) return 0;  // surrogate
    return 3;
  }
  if (b0 >= 0xF0 && b0 <= 0xF4) {
    if (left < 4 || !is_continuation(p[1]) || !is_continuation(p[2]) || !is_continuation(p[3]))
      return 0;
    if (b0 == 0xF0 && p[1] < 0x90) return 0;   // overlong
    if (b0 == 0xF4 && p[1] >= 0x90) return 0;  // above U+10FFFF
    return 4;
  }
  return 0;  // a continuation byte, an overlong two-byte lead, or 0xF5 and up
}

}  // namespace

size_t utf8_sequence_length(std::string_view text, size_t pos) {
  return sequence_length(reinterpret_cast<const uint8_t*>(text.data()) + pos, text.size() - pos);
}

size_t valid_utf8_prefix(std::string_view text) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  const size_t size = text.size();
  size_t pos = 0;
  while (pos < size) {
    while (pos + 8 <= size) {
      uint64_t word = 0;
      std::memcpy(&word, bytes + pos, sizeof word);
      if (word & kHighBits) break;
      pos += 8;
    }
    while (pos < size && bytes[pos] < 0x80) ++pos;
    if (pos == size) break;
    size_t length = sequence_length(bytes + pos, size - pos);
    if (length == 0) return pos;
    pos += length;
  }
  return size;
}

std::string into_valid_utf8(std::string text) {
  size_t good = valid_utf8_prefix(text);
  if (good == text.size()) return text;
  std::string out;
  out.reserve(text.size() + 16);
  std::string_view rest(text);
  while (!rest.empty()) {
    out.append(rest.substr(0, good));
    rest.remove_prefix(good);
    if (rest.empty()) break;
    append_utf8(out, 0xFFFD);  // one replacement for each bad byte
    rest.remove_prefix(1);
    good = valid_utf8_prefix(rest);
  }
  return out;
}

}  // namespace tarnwick
