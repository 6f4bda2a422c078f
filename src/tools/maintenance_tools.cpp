#include "tools/maintenance_tools.h"

#include <optional>
#include <string>

#include "tools/args.h"
#include "tools/flags.h"
#include "tools/plain_run.h"

namespace tarnwick {
namespace {

/// "add" or "remove", the dependency, and the table it goes to.
ArgList dependency_command(const char* subcommand, const std::string& dependency,
                           const json& arguments) {
  ArgList args{subcommand, dependency};
  push_switch(args, arguments, "dev", "--dev");
  push_switch(args, arguments, "build", "--build");
  push_value(args, "--package", string_arg(arguments, "package"));
  return args;
}

ToolFailed dependency_required(const char* tool) {
  return ToolFailed{make_error(std::string(tool) + ": `dependency` is required")};
}

}  // namespace

ToolOutcome run_cargo_clean(const json& arguments) {
  std::optional<std::string> cwd = string_arg(arguments, "working_dir");
  ArgList args{"clean"};
  push_value(args, "--package", string_arg(arguments, "package"));
  push_switch(args, arguments, "release", "--release");
  return plain_outcome(args, cwd);
}

ToolOutcome handle_cargo_add(const json& arguments) {
  std::optional<std::string> dependency = string_arg(arguments, "dependency");
  if (!dependency) return dependency_required("cargo_add");
  std::optional<std::string> cwd = string_arg(arguments, "working_dir");
  ArgList args = dependency_command("add", *dependency, arguments);
  push_value(args, "--features", string_arg(arguments, "features"));
  return plain_outcome(args, cwd);
}

ToolOutcome handle_cargo_remove(const json& arguments) {
  std::optional<std::string> dependency = string_arg(arguments, "dependency");
  if (!dependency) return dependency_required("cargo_remove");
  std::optional<std::string> cwd = string_arg(arguments, "working_dir");
  return plain_outcome(dependency_command("remove", *dependency, arguments), cwd);
}

ToolOutcome handle_cargo_fix(const json& arguments) {
  std::optional<std::string> cwd = string_arg(arguments, "working_dir");
  // `cargo fix` has no clippy mode; clippy applies its own fixes. Either way
  // the run edits the sources, so it runs once like `fix`, even though plain
  // clippy runs are retried on busy files.
  ArgList args = parse_bool_arg(arguments, "clippy") ? ArgList{"clippy", "--fix"} : ArgList{"fix"};
  push_value(args, "--package", string_arg(arguments, "package"));
  push_switch(args, arguments, "allow_dirty", "--allow-dirty");
  push_switch(args, arguments, "allow_staged", "--allow-staged");
  return plain_outcome(args, cwd, BusyRetry::Never);
}

}  // namespace tarnwick
