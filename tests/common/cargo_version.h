#pragma once
// The version of the cargo the server runs, for the few tests that need a
// cargo newer than an older toolchain still in use (Debian 12 ships 1.65).

#include <stdio.h>

#include <optional>
#include <string>

#include "runner/toolchain.h"

namespace tarnwick::testing {

/// The minor version of the cargo the server finds, from its
/// `cargo --version` ("cargo 1.65.0 (...)"); nullopt when it cannot be read.
inline std::optional<int> cargo_minor_version() {
  static const std::optional<int> version = []() -> std::optional<int> {
    std::string command = "'";
    for (char c : resolve_toolchain_program("cargo", "CARGO").path)
      command += c == '\'' ? std::string("'\\''") : std::string(1, c);
    command += "' --version 2>/dev/null";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return std::nullopt;
    char line[256] = {};
    bool read = std::fgets(line, sizeof line, pipe) != nullptr;
    ::pclose(pipe);
    int major = 0;
    int minor = 0;
    if (!read || std::sscanf(line, "cargo %d.%d", &major, &minor) != 2 || major != 1)
      return std::nullopt;
    return minor;
  }();
  return version;
}

/// Whether that cargo is older than 1.`minor`. A version that cannot be read
/// counts as new enough, so the test runs and shows what fails.
inline bool cargo_older_than(int minor) {
  std::optional<int> found = cargo_minor_version();
  return found && *found < minor;
}

}  // namespace tarnwick::testing
