#include "test_select/test_env.h"

#include <fmt/format.h>

#include <algorithm>

#include "base/json_text.h"
#include "base/path_text.h"
#include "base/quoted.h"
#include "base/text_lines.h"
#include "platform/file_status.h"
#include "runner/captured.h"
#include "runner/invoke.h"

namespace tarnwick {
namespace {

/// How long asking the toolchain about the build may take.
constexpr Duration kFactsTimeout{120, 0};

constexpr std::string_view kWhy = "the tests cannot be run as cargo runs them";

std::string string_member(const json& object, std::string_view key) {
  const json* value = find_member(object, key);
  return value && value->is_string() ? value->get<std::string>() : std::string();
}

PackageFacts package_facts(const json& package) {
  PackageFacts facts;
  facts.name = string_member(package, "name");
  facts.version = string_member(package, "version");
  facts.manifest_path = string_member(package, "manifest_path");
  if (const json* authors = find_member(package, "authors"))
    facts.authors = json_array_strings(*authors);
  facts.description = string_member(package, "description");
  facts.homepage = string_member(package, "homepage");
  facts.repository = string_member(package, "repository");
  facts.license = string_member(package, "license");
  facts.license_file = string_member(package, "license_file");
  facts.readme = string_member(package, "readme");
  facts.rust_version = string_member(package, "rust_version");
  return facts;
}

/// A path that a build script's `rustc-link-search` named, without its kind.
std::string linked_path(std::string_view entry) {
  size_t equals = entry.find('=');
  if (equals != std::string_view::npos && entry.find('/') > equals) entry.remove_prefix(equals + 1);
  return std::string(entry);
}

/// The bins and library folders named by the build's records.
void read_build_records(std::string_view build_stdout, TestEnvironment& environment) {
  for (std::string_view line : split_lines(build_stdout)) {
    json record = json::parse(line, nullptr, false);
    if (!record.is_object()) continue;
    std::string reason = string_member(record, "reason");
    if (reason == "build-script-executed") {
      if (const json* paths = find_member(record, "linked_paths"))
        for (const std::string& entry : json_array_strings(*paths))
          environment.native_dirs.push_back(linked_path(entry));
      continue;
    }
    if (reason != "compiler-artifact") continue;
    const json* executable = find_member(record, "executable");
    const json::json_pointer kinds("/target/kind"), test("/profile/test");
    if (!executable || !executable->is_string() || !record.contains(kinds)) continue;
    if (record.contains(test) && record.at(test) == true) continue;
    std::vector<std::string> words = json_array_strings(record.at(kinds));
    if (std::find(words.begin(), words.end(), "bin") == words.end()) continue;
    std::string name = record.value(json::json_pointer("/target/name"), std::string());
    environment.bins[string_member(record, "package_id")].emplace_back(
        std::move(name), executable->get<std::string>());
  }
}

struct VersionParts {
  std::string major, minor, patch, pre;
};

/// "1.2.3-beta.1+build" taken apart as cargo does for its variables.
VersionParts version_parts(std::string_view version) {
  std::string_view core = version.substr(0, version.find_first_of("-+"));
  VersionParts parts;
  if (size_t dash = version.find('-'); dash != std::string_view::npos && dash < version.find('+'))
    parts.pre = std::string(version.substr(dash + 1, version.find('+') - dash - 1));
  std::string* fields[] = {&parts.major, &parts.minor, &parts.patch};
  for (std::string* field : fields) {
    size_t dot = core.find('.');
    *field = std::string(core.substr(0, dot));
    core = dot == std::string_view::npos ? std::string_view() : core.substr(dot + 1);
  }
  return parts;
}

void set_package_vars(const PackageFacts& facts, ChildEnv& env) {
  env["CARGO_MANIFEST_PATH"] = facts.manifest_path;
  env["CARGO_PKG_NAME"] = facts.name;
  env["CARGO_PKG_VERSION"] = facts.version;
  VersionParts parts = version_parts(facts.version);
  env["CARGO_PKG_VERSION_MAJOR"] = parts.major;
  env["CARGO_PKG_VERSION_MINOR"] = parts.minor;
  env["CARGO_PKG_VERSION_PATCH"] = parts.patch;
  env["CARGO_PKG_VERSION_PRE"] = parts.pre;
  env["CARGO_PKG_AUTHORS"] = fmt::format("{}", fmt::join(facts.authors, ":"));
  env["CARGO_PKG_DESCRIPTION"] = facts.description;
  env["CARGO_PKG_HOMEPAGE"] = facts.homepage;
  env["CARGO_PKG_REPOSITORY"] = facts.repository;
  env["CARGO_PKG_LICENSE"] = facts.license;
  env["CARGO_PKG_LICENSE_FILE"] = facts.license_file;
  env["CARGO_PKG_README"] = facts.readme;
  env["CARGO_PKG_RUST_VERSION"] = facts.rust_version;
}

/// cargo's search path for a test binary: the build scripts' folders inside
/// the build output, the output and its deps folder, the toolchain's
/// libraries, then whatever the environment already had.
std::string library_path(const TestEnvironment& environment, const TestBinary& binary) {
  std::string deps = lexical_parent(binary.executable).value_or(".");
  std::string root = lexical_parent(deps).value_or(".");
  std::vector<std::string> dirs;
  for (const std::string& dir : environment.native_dirs)
    if (dir.starts_with(root + "/")) dirs.push_back(dir);
  dirs.push_back(root);
  dirs.push_back(deps);
  if (!environment.target_libdir.empty()) dirs.push_back(environment.target_libdir);
  ChildEnv inherited = build_child_env();
  if (auto found = inherited.find("LD_LIBRARY_PATH");
      found != inherited.end() && !found->second.empty())
    dirs.push_back(found->second);
  return fmt::format("{}", fmt::join(dirs, ":"));
}

/// The compiler's sysroot and target library folder, asked in the call's
/// folder so that a toolchain file there chooses as it did for the build.
Result<std::pair<std::string, std::string>> toolchain_dirs(const TestEnvQuery& query) {
  ResolvedProgram rustc = resolve_toolchain_program("rustc", "RUSTC");
  ChildCommand command;
  command.program = rustc.path;
  // A rustc named by RUSTC is the one cargo used whatever the selector.
  if (query.toolchain && rustc.source != CargoSource::CargoEnv)
    command.args.push_back(*query.toolchain);
  command.args.insert(command.args.end(), {"--print", "sysroot", "--print", "target-libdir"});
  if (query.target) command.args.insert(command.args.end(), {"--target", *query.target});
  Result<CapturedOutput> run = run_command_captured(command, query.cwd, kFactsTimeout);
  if (!run) {
    if (is_error_kind<CancelledError>(run.error())) return run.error();
    return make_error(
        fmt::format("{}: `rustc --print sysroot` did not run ({})", kWhy, error_text(run.error())));
  }
  std::vector<std::string_view> lines = split_lines(run->stdout_text);
  if (run->exit_code != 0 || lines.size() < 2) {
    return make_error(fmt::format("{}: `rustc --print sysroot` failed (exit {}): {}", kWhy,
                                  run->exit_code, trim(run->stderr_text)));
  }
  return std::pair{std::string(trim(lines[0])), std::string(trim(lines[1]))};
}

}  // namespace

Result<TestEnvironment> test_environment_from(std::string_view metadata_json,
                                              std::string_view build_stdout, std::string cargo,
                                              std::string target_libdir,
                                              const std::optional<std::string>& target_dir) {
  json metadata = json::parse(metadata_json, nullptr, false);
  const json* packages = metadata.is_object() ? find_member(metadata, "packages") : nullptr;
  if (!packages || !packages->is_array())
    return make_error(fmt::format("{}: `cargo metadata` gave no package list", kWhy));
  TestEnvironment environment;
  for (const json& package : *packages)
    if (package.is_object())
      environment.packages[string_member(package, "id")] = package_facts(package);
  environment.target_directory =
      target_dir ? *target_dir : string_member(metadata, "target_directory");
  environment.cargo = std::move(cargo);
  environment.target_libdir = std::move(target_libdir);
  read_build_records(build_stdout, environment);
  return environment;
}

Result<TestEnvironment> read_test_environment(const TestEnvQuery& query,
                                              std::string_view build_stdout) {
  RunRequest request;
  request.argv = query.metadata_argv;
  request.cwd = query.cwd;
  request.timeout = kFactsTimeout;
  RunResult metadata = run_cargo_with_retry(request);
  if (!metadata) {
    if (is_error_kind<CancelledError>(metadata.error())) return metadata.error();
    return make_error(
        fmt::format("{}: `cargo metadata` did not run ({})", kWhy, error_text(metadata.error())));
  }
  if (metadata->exit_code != 0) {
    return make_error(fmt::format("{}: `cargo metadata` failed (exit {}): {}", kWhy,
                                  metadata->exit_code, trim(metadata->stderr_text)));
  }
  auto dirs = toolchain_dirs(query);
  if (!dirs) return std::move(dirs).error();
  // cargo names its own executable; the toolchain's cargo stands beside its
  // rustc, and the one the server started is the next best name.
  std::string cargo = join_path(dirs->first, "bin/cargo");
  if (platform::file_kind(cargo) != platform::FileKind::File)
    cargo = resolve_toolchain_program("cargo", "CARGO").path;
  std::optional<std::string> target_dir = query.target_dir;
  if (target_dir && !target_dir->starts_with('/') && query.cwd)
    target_dir = join_path(*query.cwd, *target_dir);
  return test_environment_from(metadata->stdout_text, build_stdout, std::move(cargo),
                               std::move(dirs->second), target_dir);
}

Result<TestRunPlace> test_run_place(const TestEnvironment& environment, const TestBinary& binary) {
  auto package = environment.packages.find(binary.package_id);
  if (package == environment.packages.end()) {
    return make_error(fmt::format("{}: `cargo metadata` does not describe package {} of {}", kWhy,
                                  binary.package, binary.executable));
  }
  const PackageFacts& facts = package->second;
  TestRunPlace place;
  place.cwd = lexical_parent(facts.manifest_path).value_or(".");
  ChildEnv& env = place.env;
  env["CARGO"] = environment.cargo;
  env["CARGO_MANIFEST_DIR"] = place.cwd;
  set_package_vars(facts, env);
  std::string crate_name = binary.target;
  std::replace(crate_name.begin(), crate_name.end(), '-', '_');
  env["CARGO_CRATE_NAME"] = crate_name;
  if (binary.kind == TestTargetKind::Test || binary.kind == TestTargetKind::Bench) {
    env["CARGO_TARGET_TMPDIR"] = join_path(environment.target_directory, "tmp");
    if (auto bins = environment.bins.find(binary.package_id); bins != environment.bins.end())
      for (const auto& [name, path] : bins->second) env["CARGO_BIN_EXE_" + name] = path;
  }
  env["LD_LIBRARY_PATH"] = library_path(environment, binary);
  return place;
}

}  // namespace tarnwick
