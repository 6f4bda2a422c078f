#include "tools/maintenance_tools.h"

#include <optional>
#include <string>

#include "tools/args.h"
#include "tools/flags.h"
#include "tools/plain_run.h"

namespace tarnwick {
namespace {

void push_flag_if(ArgList& args, const json& arguments, const char* key, const char* flag) {
  if (parse_bool_arg(arguments, key)) args.push_back(flag);
}

void push_value_if(ArgList& args, const json& arguments, const char* key, const char* flag) {
  if (std::optional<std::string> value = string_arg(arguments, key))
    args.insert(args.end(), {flag, *value});
}

/// "add" or "remove", the dependency, and the table it goes to.
ArgList dependency_command(const char* subcommand, const std::string& dependency,
                           const json& arguments) {
  ArgList args{subcommand, dependency};
  push_flag_if(args, arguments, "dev", "--dev");
  push_flag_if(args, arguments, "build", "--build");
  push_value_if(args, arguments, "package", "--package");
  return args;
}

ToolFailed dependency_required(const char* tool) {
  return ToolFailed{make_error(std::string(tool) + ": `dependency` is required")};
}

}  // namespace

ToolOutcome run_cargo_clean(const json& arguments) {
  std::optional<std::string> cwd = string_arg(arguments, "working_dir");
  ArgList args{"clean"};
  push_value_if(args, arguments, "package", "--package");
  push_flag_if(args, arguments, "release", "--release");
  return plain_outcome(args, cwd);
}

ToolOutcome handle_cargo_add(const json& arguments) {
  std::optional<std::string> dependency = string_arg(arguments, "dependency");
  if (!dependency) return dependency_required("cargo_add");
  std::optional<std::string> cwd = string_arg(arguments, "working_dir");
  ArgList args = dependency_command("add", *dependency, arguments);
  push_value_if(args, arguments, "features", "--features");
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
  // `cargo fix` has no clippy mode; clippy applies its own fixes.
  ArgList args = parse_bool_arg(arguments, "clippy") ? ArgList{"clippy", "--fix"} : ArgList{"fix"};
  push_value_if(args, arguments, "package", "--package");
  push_flag_if(args, arguments, "allow_dirty", "--allow-dirty");
  push_flag_if(args, arguments, "allow_staged", "--allow-staged");
  return plain_outcome(args, cwd);
}

}  // namespace tarnwick
