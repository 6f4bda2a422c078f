#pragma once
/// Bulk UTF-8 validation for long texts such as cargo's output: ASCII runs are
/// checked eight bytes at a time, and a valid text is handed back without a
/// copy.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tarnwick {

/// The length of the longest prefix of `text` that is valid UTF-8 (no
/// overlong forms, no surrogates, nothing above U+10FFFF, no sequence cut
/// short by the end of `text`). Equals `text.size()` for valid text.
size_t valid_utf8_prefix(std::string_view text);

/// The length of the valid sequence of a non-ASCII scalar value that starts
/// at `text[pos]`, or 0 when the bytes there do not form one.
size_t utf8_sequence_length(std::string_view text, size_t pos);

/// Eight bytes at a time: the high bit of each byte of `word` that is `byte`,
/// or that is below `limit` (at most 0x80). Only the lowest bit set is sure
/// to mark a match (a borrow can mark the bytes above it), which is all that
/// finding the first match needs.
inline constexpr uint64_t kEachByte = 0x0101010101010101ULL;
inline uint64_t bytes_equal_to(uint64_t word, uint8_t byte) {
  uint64_t x = word ^ (kEachByte * byte);
  return (x - kEachByte) & ~x & (kEachByte * 0x80);
}
inline uint64_t bytes_below(uint64_t word, uint8_t limit) {
  return (word - kEachByte * limit) & ~word & (kEachByte * 0x80);
}
inline bool any_byte_is(uint64_t word, uint8_t byte) { return bytes_equal_to(word, byte) != 0; }
inline bool any_byte_below(uint64_t word, uint8_t limit) { return bytes_below(word, limit) != 0; }

/// `text` with every invalid UTF-8 sequence replaced by U+FFFD, each bad byte
/// by one; valid text comes back as it was, without a copy.
std::string into_valid_utf8(std::string text);

}  // namespace tarnwick
