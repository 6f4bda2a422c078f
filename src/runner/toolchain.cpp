#include "runner/toolchain.h"

#include <fmt/format.h>

#include "base/call_context.h"
#include "base/output.h"
#include "base/path_text.h"
#include "base/quoted.h"
#include "platform/environment.h"
#include "platform/file_status.h"

namespace tarnwick {
namespace {

std::optional<std::string> non_empty_env(std::string_view name) {
  auto value = platform::get_env(name);
  if (!value || value->empty()) return std::nullopt;
  return value;
}

/// Follows links, like the checks of the system's own file API.
bool is_regular_file(const std::string& path) {
  return platform::file_kind(path) == platform::FileKind::File;
}

bool exists(const std::string& path) {
  return platform::file_kind(path) != platform::FileKind::Missing;
}

std::string format_args(const std::vector<std::string>& argv) {
  std::string text = "[";
  for (size_t i = 0; i < argv.size(); ++i) {
    if (i > 0) text += ", ";
    text += tarnwick::quoted(argv[i]);
  }
  text += "]";
  return text;
}

}  // namespace

const char* cargo_source_name(CargoSource source) {
  switch (source) {
    case CargoSource::CargoEnv:
      return "CargoEnv";
    case CargoSource::RustupProxy:
      return "RustupProxy";
    case CargoSource::RustupProxyNoSibling:
      return "RustupProxyNoSibling";
    case CargoSource::PathLookup:
      return "PathLookup";
  }
  return "PathLookup";
}

int cargo_source_step(CargoSource source) {
  switch (source) {
    case CargoSource::CargoEnv:
      return 1;
    case CargoSource::RustupProxy:
    case CargoSource::RustupProxyNoSibling:
      return 2;
    case CargoSource::PathLookup:
      return 3;
  }
  return 3;
}

ResolvedProgram resolve_toolchain_program(std::string_view name, std::string_view variable) {
  if (auto value = non_empty_env(variable); value && is_regular_file(*value)) {
    return {*value, CargoSource::CargoEnv};
  }
  std::optional<std::string> base = non_empty_env("CARGO_HOME");
  if (!base) {
    // Set but empty counts as unset, as it does for CARGO_HOME.
    if (auto home = platform::home_directory(); home && !home->empty()) {
      base = join_path(*home, ".cargo");
    }
  }
  if (base) {
    std::string bin = join_path(*base, "bin");
    std::string candidate = join_path(bin, name);
    if (is_regular_file(candidate)) {
      bool sibling = exists(join_path(bin, "rustup"));
      return {candidate, sibling ? CargoSource::RustupProxy : CargoSource::RustupProxyNoSibling};
    }
  }
  return {std::string(name), CargoSource::PathLookup};
}

void log_invocation(const std::string& path, CargoSource source,
                    const std::optional<std::string>& cwd, const std::vector<std::string>& argv) {
  send_log_message("info", fmt::format("invoking {} (source={}, step={}) cwd={} args={}", path,
                                       cargo_source_name(source), cargo_source_step(source),
                                       cwd ? *cwd : std::string("."), format_args(argv)));
  if (source == CargoSource::RustupProxyNoSibling) {
    send_log_message(
        "warning",
        fmt::format(
            "{} exists but no sibling rustup found — rust-toolchain.toml may not be honoured",
            path));
  }
}

ChildEnv build_child_env() {
  ChildEnv env;
  for (auto& [name, value] : platform::environment_snapshot()) {
    env.insert_or_assign(std::move(name), std::move(value));
  }
  env["CARGO_TERM_COLOR"] = "never";
  env["NO_COLOR"] = "1";
  auto rustc = env.find("RUSTC");
  if (rustc == env.end() || rustc->second.empty()) {
    ResolvedProgram resolved = resolve_toolchain_program("rustc", "RUSTC");
    if (resolved.source != CargoSource::PathLookup) env["RUSTC"] = resolved.path;
  }
  for (const EnvOverride& entry : env_overrides()) {
    if (entry.value) {
      env.insert_or_assign(entry.name, *entry.value);
    } else {
      env.erase(entry.name);
    }
  }
  return env;
}

platform::ProcessCommand logged_cargo_command(const std::vector<std::string>& argv,
                                              const std::optional<std::string>& cwd) {
  ResolvedProgram program = resolve_toolchain_program("cargo", "CARGO");
  log_invocation(program.path, program.source, cwd, argv);
  platform::ProcessCommand command;
  command.program = program.path;
  command.args = argv;
  command.env = build_child_env();
  command.cwd = cwd;
  return command;
}

}  // namespace tarnwick
