#pragma once
/// JSON values and their compact text form.

#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace tarnwick {

using json = nlohmann::json;

/// Writes `value` compactly with its object keys in byte order. Invalid UTF-8
/// inside strings is replaced by U+FFFD, so this never throws and a line
/// always goes out.
std::string to_json_text(const json& value);

/// Takes the text written so far and leaves `out` empty, to write a long
/// value out in pieces.
using JsonSpill = std::function<void(std::string& out)>;

/// Appends what `to_json_text` returns to `out`, written straight into it;
/// long strings of valid UTF-8 are escaped a run of bytes at a time. With
/// `spill`, `out` is handed over whenever about a mebibyte has gathered, so
/// a long value never stands in memory twice.
void append_json_text(std::string& out, const json& value, const JsonSpill* spill = nullptr);

/// Whether the JSON text `text` nests arrays and objects deeper than
/// `max_depth` (brackets inside strings do not count). Such a value is
/// refused before parsing: copying or writing it would recurse that deep.
bool json_nesting_exceeds(std::string_view text, int max_depth);

/// `text`, one valid JSON value, without the white space outside its
/// strings: the value as its sender wrote it, with the digits of its numbers
/// and the escapes of its strings kept.
std::string compact_json_text(std::string_view text);

/// The text of the member `key` of the object that `text` (one valid JSON
/// value) writes, the last one when the key occurs twice, as the JSON library
/// keeps it; keys are compared with their escapes resolved. Nothing when
/// `text` is not an object or lacks the member.
std::optional<std::string_view> member_text(std::string_view text, std::string_view key);

/// The member `key` of `value`, or null when `value` is not an object or
/// has no such member.
const json* find_member(const json& value, std::string_view key);

}  // namespace tarnwick
