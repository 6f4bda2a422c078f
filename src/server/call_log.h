#pragma once
/// How a tool call's arguments appear in the server's own log lines: secrets
/// passed through `env` stay out of the client's logs, and a huge argument
/// is not echoed whole.

#include <cstddef>
#include <string>

#include "base/json_text.h"

namespace tarnwick {

/// Longest arguments text a log line carries before it is cut.
constexpr size_t kLoggedArgumentsBytes = 4096;

/// The arguments as compact JSON with every `env` value written as
/// "<redacted>" (the names stay; a malformed `env` that is not an object is
/// redacted whole), cut after `kLoggedArgumentsBytes` bytes with a marker
/// that tells how many bytes were left out. The text is never built whole:
/// a huge argument costs about a mebibyte here, whatever its size.
std::string arguments_for_log(const json& arguments);

}  // namespace tarnwick
