#pragma once
/// Text helpers shared by every subsystem: the quoted form used in messages,
/// trimming of Unicode white space, and reading unsigned decimal numbers.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick {

/// The text between double quotes, with `"` and `\` escaped, tab, CR, LF and
/// NUL as \t \r \n \0, and every other control or unprintable character and
/// every mark that extends the character before it as \u{hex}. Other
/// characters, non-ASCII included, stay as they are. Invalid UTF-8 bytes are
/// shown as U+FFFD.
std::string quoted(std::string_view text);

/// True for the characters with the Unicode White_Space property.
bool is_unicode_white_space(char32_t c);

/// `text` without leading and trailing Unicode white space.
std::string_view trim(std::string_view text);

/// The words of `text`, cut at runs of Unicode white space; none for a blank text.
std::vector<std::string> split_white_space(std::string_view text);

/// Decodes one UTF-8 scalar value at `text[pos]`, advancing `pos`. Invalid or
/// truncated sequences yield U+FFFD and advance by one byte.
char32_t decode_utf8(std::string_view text, size_t& pos);

/// The first `count` Unicode scalar values of `text` (all of it when shorter).
std::string_view first_chars(std::string_view text, size_t count);

/// Appends the UTF-8 encoding of `c` to `out`.
void append_utf8(std::string& out, char32_t c);

/// Decodes like `decode_utf8` but tells an invalid sequence (nothing) from
/// a U+FFFD that is really written in `text`.
std::optional<char32_t> decode_valid_utf8(std::string_view text, size_t& pos);

/// True when all of `text` is valid UTF-8.
bool is_valid_utf8(std::string_view text);

/// `text` with every invalid UTF-8 sequence replaced by U+FFFD.
std::string to_valid_utf8(std::string_view text);

/// An optional "+" then one or more ASCII digits, at most `max`.
std::optional<uint64_t> parse_unsigned(std::string_view value, uint64_t max);

}  // namespace tarnwick
