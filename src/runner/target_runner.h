#pragma once
/// For one tool call: the targets its test binaries are built for, and the
/// runner cargo itself would start each target's binaries with.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "runner/captured.h"
#include "runner/toolchain.h"

namespace tarnwick {

/// The runner cargo would use for the test binaries of one target.
struct TargetRunner {
  /// "x86_64-unknown-linux-gnu", or the stem of a custom target's JSON file.
  std::string triple;
  /// "CARGO_TARGET_X86_64_UNKNOWN_LINUX_GNU_RUNNER".
  std::string variable;
  /// The user's runner: program, then its arguments; empty when none. A
  /// program holding a slash is absolute, resolved as cargo resolves it; a
  /// bare name stays bare, to be looked up on PATH when started.
  std::vector<std::string> user_runner;
  /// The value `variable` has in the child environment, if any.
  std::optional<std::string> variable_value;
};

/// "CARGO_TARGET_" + `triple` upper-cased with "-" and "." as "_" + "_RUNNER".
std::string runner_variable(std::string_view triple);

/// `rustc -vV` as `find_target_runners` would run it, started ahead of the
/// call's build so that it runs beside it; dropped unused, it is killed.
struct HostProbe {
  std::optional<StartedProbe> probe;
};

/// Starts the probe for a cargo run in `cwd` with `env` and `toolchain`; it
/// holds no probe when rustc cannot be started (the later run says why).
HostProbe start_host_probe(const std::optional<std::string>& cwd, const ChildEnv& env,
                           const std::optional<std::string>& toolchain);

/// For a cargo run in `cwd` (the server's directory when none) with `env`,
/// the complete child environment (`build_child_env`), the toolchain
/// selector `toolchain` ("+nightly") and the call's own `--target` values:
/// each target the test binaries are built for, with its runner, found as
/// cargo finds them. rustc (`RUSTC` in `env`, else from PATH) is asked for
/// the host only when nothing names a target, and for a target's cfg values
/// only when a `cfg(...)` runner is configured; it runs under the call's
/// cancel flag. Fails where cargo would refuse: a configuration file that
/// does not parse, an empty runner, several `cfg(...)` runners that match.
/// `early`, when given, is the host probe started for the same run.
Result<std::vector<TargetRunner>> find_target_runners(
    const std::optional<std::string>& cwd, const ChildEnv& env,
    const std::optional<std::string>& toolchain, const std::vector<std::string>& selection_targets,
    HostProbe* early = nullptr);

}  // namespace tarnwick
