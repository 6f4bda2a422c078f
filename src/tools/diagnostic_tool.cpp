#include "tools/diagnostic_tool.h"

#include <array>
#include <exception>
#include <optional>
#include <string>

#include "base/path_text.h"
#include "base/quoted.h"
#include "platform/environment.h"
#include "platform/file_status.h"
#include "platform/write_file.h"
#include "runner/captured.h"
#include "runner/toolchain.h"
#include "tools/args.h"

namespace tarnwick {
namespace {

json text_or_null(const std::optional<std::string>& text) {
  if (!text) return nullptr;
  return to_valid_utf8(*text);
}

/// The program's `--version --verbose` output, or why it could not start.
json version_report(const std::string& program, const std::string& cwd) {
  ChildCommand command;
  command.program = program;
  command.args = {"--version", "--verbose"};
  command.cwd = cwd;
  Result<CapturedOutput> run = run_probe_captured(command);
  if (!run) return {{"error", error_text(run.error())}};
  return {{"exit_code", static_cast<int32_t>(run->exit_code)},
          {"stderr", run->stderr_text},
          {"stdout", run->stdout_text}};
}

json program_report(std::string_view name, std::string_view variable, const std::string& cwd) {
  ResolvedProgram program = resolve_toolchain_program(name, variable);
  return {{"path", to_valid_utf8(program.path)},
          {"source", cargo_source_name(program.source)},
          {"step", cargo_source_step(program.source)},
          {"version", version_report(program.path, cwd)}};
}

json toolchain_file_report(const std::string& cwd) {
  std::optional<std::string> path = find_toolchain_file(cwd);
  if (!path) return {{"contents", nullptr}, {"path", nullptr}};
  std::optional<std::string> contents = platform::read_whole_file(*path);
  if (contents && !is_valid_utf8(*contents)) contents.reset();
  return {{"contents", text_or_null(contents)}, {"path", to_valid_utf8(*path)}};
}

json env_report() {
  constexpr std::array<std::string_view, 6> kNames = {"CARGO", "CARGO_HOME",  "PATH",
                                                      "RUSTC", "RUSTUP_HOME", "RUSTUP_TOOLCHAIN"};
  json env = json::object();
  for (std::string_view name : kNames) {
    std::optional<std::string> value = platform::get_env(name);
    if (value && !is_valid_utf8(*value)) value.reset();
    env[std::string(name)] = text_or_null(value);
  }
  return env;
}

}  // namespace

std::optional<std::string> find_toolchain_file(const std::string& start) {
  std::optional<std::string> dir = start;
  while (dir) {
    for (const char* name : {"rust-toolchain.toml", "rust-toolchain"}) {
      // An empty directory stands for the server's own, where names are bare.
      std::string candidate = join_path(*dir, name);
      if (platform::file_kind(candidate) == platform::FileKind::File) return candidate;
    }
    if (dir->empty()) break;
    dir = lexical_parent(*dir);
  }
  return std::nullopt;
}

Result<std::string> handle_cargo_diagnostic(const json& arguments) {
  std::string cwd =
      string_arg(arguments, "working_dir").value_or(platform::current_directory().value_or("."));
  json report = {{"cargo", program_report("cargo", "CARGO", cwd)},
                 {"env", env_report()},
                 {"rustc", program_report("rustc", "RUSTC", cwd)},
                 {"toolchain_file", toolchain_file_report(cwd)},
                 {"working_dir", to_valid_utf8(cwd)}};
  try {
    return report.dump(2, ' ', false, json::error_handler_t::replace);
  } catch (const std::exception& e) {
    return make_error(e.what());
  }
}

}  // namespace tarnwick
