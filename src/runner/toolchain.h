#pragma once
/// Which cargo or rustc a run starts, the log line that says so, and the
/// complete environment every child gets.

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/process.h"

namespace tarnwick {

/// How a program was found, in search order.
enum class CargoSource { CargoEnv, RustupProxy, RustupProxyNoSibling, PathLookup };

/// "CargoEnv", "RustupProxy", "RustupProxyNoSibling" or "PathLookup".
const char* cargo_source_name(CargoSource source);
/// The search step that succeeded: 1, 2, 2 or 3.
int cargo_source_step(CargoSource source);

struct ResolvedProgram {
  std::string path;  // the bare name for PathLookup
  CargoSource source = CargoSource::PathLookup;
};

/// Finds `name` ("cargo" or "rustc") through the variable `variable`
/// ("CARGO" or "RUSTC"), then the rustup tool directory (CARGO_HOME/bin, or
/// .cargo/bin under the home directory), then PATH at start time.
ResolvedProgram resolve_toolchain_program(std::string_view name, std::string_view variable);

/// Sends the "invoking ..." info line, and a warning when no rustup stands
/// beside the program.
void log_invocation(const std::string& path, CargoSource source,
                    const std::optional<std::string>& cwd, const std::vector<std::string>& argv);

/// A child's whole environment, ordered by name.
using ChildEnv = std::map<std::string, std::string>;

/// Locates cargo, sends the invocation log line and returns the command that
/// runs it with `argv` in `cwd` and the child environment; the caller sets
/// the output streams.
platform::ProcessCommand logged_cargo_command(const std::vector<std::string>& argv,
                                              const std::optional<std::string>& cwd);

/// The server's environment with CARGO_TERM_COLOR=never, NO_COLOR=1, RUSTC
/// when unset and resolvable, then the call's overrides applied in order.
ChildEnv build_child_env();

}  // namespace tarnwick
