#pragma once
/// System calls take C strings, which end at the first NUL byte: text that
/// holds one would silently name something else, so callers refuse it.

#include <string_view>

namespace tarnwick::platform {

/// Whether `text` passes to a system call unchanged (holds no NUL byte).
inline bool fits_c_string(std::string_view text) {
  return text.find('\0') == std::string_view::npos;
}

}  // namespace tarnwick::platform
