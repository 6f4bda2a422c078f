#pragma once
/// Cutting a text into lines: at every "\n", with a "\r" directly before it
/// going with the terminator; no final empty line after a closing "\n"; an
/// empty text has no lines. Every filter and counter uses this one rule.

#include <string_view>
#include <vector>

namespace tarnwick {

std::vector<std::string_view> split_lines(std::string_view text);

}  // namespace tarnwick
