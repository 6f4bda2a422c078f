#pragma once
/// JSON values and their compact text form.

#include <functional>
#include <nlohmann/json.hpp>
#include <string>

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

/// The member `key` of `value`, or null when `value` is not an object or
/// has no such member.
const json* find_member(const json& value, std::string_view key);

}  // namespace tarnwick
