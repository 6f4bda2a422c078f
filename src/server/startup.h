#pragma once
/// Start-up: reading the command-line options, announcing the server, and
/// running it until its input ends.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/settings.h"
#include "server/tool_call_context.h"

namespace tarnwick {

/// A boolean option value: "1", "on", "yes", "true" or "0", "no", "off",
/// "false" in any ASCII case, untrimmed; anything else is nothing.
std::optional<bool> parse_bool(std::string_view value);

/// Reads the options in `args` (the program's path excluded) over the
/// defaults. Each rejected value leaves its setting as it was and adds a
/// warning; unrecognised arguments are skipped.
ServerSettings parse_options(const std::vector<std::string>& args);

/// The info lines the server starts with, in order.
std::vector<std::string> startup_lines(const ServerSettings& settings, long pid);

/// The whole life of the server: options, reader thread, start-up lines,
/// option warnings, then the loop. Never returns: the process ends through
/// platform::exit_process (0 at end of input, 101 when the reader thread
/// cannot start). An empty `tools_call` answers tools/call as an unknown method.
int run_server(int argc, char** argv, const ToolsCallHandler& tools_call);

}  // namespace tarnwick
