#include "runner/target_runner.h"

#include <fmt/format.h>

#include <algorithm>
#include <set>
#include <variant>

#include "base/path_text.h"
#include "base/quoted.h"
#include "base/text_lines.h"
#include "platform/environment.h"
#include "platform/file_status.h"
#include "runner/captured.h"
#include "runner/cargo_config.h"
#include "runner/cfg_expr.h"

namespace tarnwick {
namespace {

/// rustc answers these at once; the limit is for one that hangs.
const Duration kRustcLimit = Duration::from_secs(120);

/// What one call's cargo would see.
struct CargoView {
  std::string cwd;  // absolute, no links: cargo's own working directory
  const ChildEnv& env;
  const std::optional<std::string>& toolchain;
  std::vector<CargoConfigFile> configs;  // nearest first
  HostProbe* early = nullptr;            // `rustc -vV`, when already started
};

/// A target as cargo names it, and as rustc's --target takes it.
struct Target {
  std::string name;
  std::string rustc_arg;  // the triple, or the path of its JSON file
};

/// A setting as the nearest file that holds it sets it.
struct Setting {
  const ConfigWords* words = nullptr;
  const CargoConfigFile* file = nullptr;
};

std::optional<std::string> env_value(const ChildEnv& env, const std::string& name) {
  auto found = env.find(name);
  if (found == env.end()) return std::nullopt;
  return found->second;
}

std::string absolute_in(const std::string& dir, const std::string& path) {
  return path.starts_with('/') ? path : join_path(dir, path);
}

/// A program holding a slash is a path from `root`; a bare name is left for PATH.
std::vector<std::string> resolve_program(std::vector<std::string> runner, const std::string& root) {
  if (runner[0].find('/') != std::string::npos) runner[0] = absolute_in(root, runner[0]);
  return runner;
}

Result<std::string> physical_cwd(const std::optional<std::string>& cwd) {
  if (!cwd || cwd->empty()) {
    std::optional<std::string> here = platform::current_directory();
    if (!here) return make_error("cannot read the server's working directory");
    return *here;
  }
  std::optional<std::string> real = platform::real_path(*cwd);
  if (!real) return make_error(fmt::format("working directory {} does not exist", *cwd));
  return *real;
}

std::optional<std::string> cargo_home(const ChildEnv& env, const std::string& cwd) {
  std::optional<std::string> home = env_value(env, "CARGO_HOME");
  if (home && !home->empty()) return absolute_in(cwd, *home);
  std::optional<std::string> user = env_value(env, "HOME");
  if (!user || user->empty()) user = platform::home_directory();
  if (!user || user->empty()) return std::nullopt;
  return join_path(*user, ".cargo");
}

/// The rustc cargo would run, as cargo would run it.
ChildCommand rustc_command(const std::string& cwd, const ChildEnv& env,
                           const std::optional<std::string>& toolchain,
                           const std::vector<std::string>& args) {
  std::optional<std::string> rustc = env_value(env, "RUSTC");
  ChildCommand command;
  command.program = rustc && !rustc->empty() ? *rustc : "rustc";
  command.args = args;
  command.env = env;
  if (toolchain) {
    std::string_view name = *toolchain;
    if (name.starts_with('+')) name.remove_prefix(1);
    (*command.env)["RUSTUP_TOOLCHAIN"] = std::string(name);
  }
  command.cwd = cwd;
  return command;
}

/// rustc's standard output, or why there is none.
Result<std::string> rustc_answer(Result<CapturedOutput> run, const ChildCommand& command) {
  std::string shown = fmt::format("{} {}", command.program, fmt::join(command.args, " "));
  if (!run) {
    if (!is_error_kind<IoError>(run.error())) return run.error();
    return make_error(fmt::format("cannot run `{}`: {}", shown, error_text(run.error())));
  }
  if (run->exit_code != 0) {
    return make_error(fmt::format("`{}` failed with exit code {}: {}", shown, run->exit_code,
                                  trim(run->stderr_text)));
  }
  return std::move(run->stdout_text);
}

Result<std::string> run_rustc(const CargoView& view, const std::vector<std::string>& args) {
  ChildCommand command = rustc_command(view.cwd, view.env, view.toolchain, args);
  return rustc_answer(run_call_probe(command, kRustcLimit), command);
}

const std::vector<std::string> kVersionArgs = {"-vV"};

Result<Target> host_target(const CargoView& view) {
  Result<std::string> version = std::string();
  if (view.early && view.early->probe) {
    ChildCommand command = rustc_command(view.cwd, view.env, view.toolchain, kVersionArgs);
    version = rustc_answer(view.early->probe->finish(kRustcLimit), command);
    view.early->probe.reset();
  } else {
    version = run_rustc(view, kVersionArgs);
  }
  if (!version) return version.error();
  for (std::string_view line : split_lines(*version)) {
    if (line.starts_with("host: ")) {
      std::string host(trim(line.substr(6)));
      return Target{host, host};
    }
  }
  return make_error("`rustc -vV` names no host");
}

/// A custom target's JSON file stands for the target named by its stem.
Target target_from(const std::string& value, const std::string& dir) {
  if (!value.ends_with(".json")) return {value, value};
  std::string path = absolute_in(dir, value);
  std::string file = path.substr(path.rfind('/') + 1);
  return {file.substr(0, file.size() - 5), path};
}

/// The nearest file's setting; cargo refuses one file's string against
/// another's array.
template <class Get>
Result<Setting> nearest_setting(const std::vector<CargoConfigFile>& files, std::string_view key,
                                Get get) {
  Setting nearest;
  for (const CargoConfigFile& file : files) {
    const ConfigWords* words = get(file);
    if (!words) continue;
    if (!nearest.words) {
      nearest = {words, &file};
    } else if (words->index() != nearest.words->index()) {
      return make_error(fmt::format(
          "cargo cannot merge `{}`: it is a string in one of {} and {} and an array in the other",
          key, nearest.file->path, file.path));
    }
  }
  return nearest;
}

const ConfigWords* build_target_of(const CargoConfigFile& file) {
  return file.build_target ? &*file.build_target : nullptr;
}

/// build.target and CARGO_BUILD_TARGET: the variable over a string, but
/// added to the arrays of every file, as cargo merges lists.
Result<std::vector<Target>> configured_targets(const CargoView& view) {
  std::optional<std::string> variable = env_value(view.env, "CARGO_BUILD_TARGET");
  auto setting = nearest_setting(view.configs, "build.target", build_target_of);
  if (!setting) return setting.error();
  std::vector<Target> targets;
  if (setting->words && std::holds_alternative<std::vector<std::string>>(*setting->words)) {
    for (const CargoConfigFile& file : view.configs) {
      if (!file.build_target) continue;
      for (const std::string& value : std::get<std::vector<std::string>>(*file.build_target)) {
        targets.push_back(target_from(value, file.root));
      }
    }
    for (const std::string& value : split_white_space(variable.value_or(""))) {
      targets.push_back(target_from(value, view.cwd));
    }
  } else if (variable) {
    targets.push_back(target_from(*variable, view.cwd));
  } else if (setting->words) {
    targets.push_back(target_from(std::get<std::string>(*setting->words), setting->file->root));
  }
  return targets;
}

Result<std::vector<Target>> find_targets(const CargoView& view,
                                         const std::vector<std::string>& selection_targets) {
  std::vector<Target> targets;
  targets.reserve(selection_targets.size());
  for (const std::string& value : selection_targets)
    targets.push_back(target_from(value, view.cwd));
  if (targets.empty()) {
    auto configured = configured_targets(view);
    if (!configured) return configured.error();
    targets = std::move(*configured);
  }
  if (targets.empty()) {
    auto host = host_target(view);
    if (!host) return host.error();
    targets.push_back(std::move(*host));
  }
  std::vector<Target> distinct;
  for (Target& target : targets) {
    if (target.name.empty()) return make_error("cargo's build target is empty");
    auto same = [&](const Target& seen) { return seen.name == target.name; };
    if (std::none_of(distinct.begin(), distinct.end(), same)) distinct.push_back(std::move(target));
  }
  return distinct;
}

Result<std::vector<std::string>> runner_words(const ConfigWords& words, std::string_view where) {
  std::vector<std::string> runner = std::holds_alternative<std::string>(words)
                                        ? split_white_space(std::get<std::string>(words))
                                        : std::get<std::vector<std::string>>(words);
  if (runner.empty()) return make_error(fmt::format("{}: the runner is empty", where));
  return runner;
}

Result<Setting> runner_setting(const CargoView& view, const std::string& key) {
  return nearest_setting(view.configs, fmt::format("target.{}.runner", key),
                         [&key](const CargoConfigFile& file) -> const ConfigWords* {
                           auto found = file.runners.find(key);
                           return found == file.runners.end() ? nullptr : &found->second;
                         });
}

Result<std::vector<std::string>> runner_from(const Setting& setting, const std::string& key) {
  auto words =
      runner_words(*setting.words, fmt::format("{}: target.{}.runner", setting.file->path, key));
  if (!words) return words.error();
  return resolve_program(std::move(*words), setting.file->root);
}

/// The one `target.'cfg(...)'.runner` whose expression holds for the target;
/// like cargo, an expression that does not parse matches nothing.
Result<std::vector<std::string>> cfg_runner(const CargoView& view, const Target& target) {
  std::set<std::string> keys;
  for (const CargoConfigFile& file : view.configs) {
    for (const auto& [key, words] : file.runners) {
      if (is_cfg_key(key)) keys.insert(key);
    }
  }
  if (keys.empty()) return std::vector<std::string>{};
  auto printed = run_rustc(view, {"--print", "cfg", "--target", target.rustc_arg});
  if (!printed) return printed.error();
  std::vector<CfgEntry> cfg = parse_rustc_cfg(*printed);
  std::vector<std::pair<std::string, Setting>> matches;
  for (const std::string& key : keys) {
    Result<bool> holds = cfg_matches(key, cfg);
    if (!holds || !*holds) continue;
    auto setting = runner_setting(view, key);
    if (!setting) return setting.error();
    matches.emplace_back(key, *setting);
  }
  if (matches.empty()) return std::vector<std::string>{};
  if (matches.size() > 1) {
    return make_error(fmt::format(
        "several `target.'cfg(..)'.runner` settings match target {}, and cargo refuses to "
        "choose: `{}` in {} and `{}` in {}",
        target.name, matches[0].first, matches[0].second.file->path, matches[1].first,
        matches[1].second.file->path));
  }
  return runner_from(matches[0].second, matches[0].first);
}

/// The variable, else `target.<name>.runner`, else a matching cfg runner.
Result<std::vector<std::string>> user_runner(const CargoView& view, const Target& target,
                                             const TargetRunner& runner) {
  if (runner.variable_value) {
    auto words = runner_words(*runner.variable_value, runner.variable);
    if (!words) return words.error();
    return resolve_program(std::move(*words), view.cwd);
  }
  auto named = runner_setting(view, target.name);
  if (!named) return named.error();
  if (named->words) return runner_from(*named, target.name);
  return cfg_runner(view, target);
}

}  // namespace

std::string runner_variable(std::string_view triple) {
  std::string variable = "CARGO_TARGET_";
  for (char c : triple) {
    variable += c == '-' || c == '.' ? '_' : (c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c);
  }
  return variable + "_RUNNER";
}

HostProbe start_host_probe(const std::optional<std::string>& cwd, const ChildEnv& env,
                           const std::optional<std::string>& toolchain) {
  HostProbe early;
  auto dir = physical_cwd(cwd);
  if (!dir) return early;
  auto started = start_call_probe(rustc_command(*dir, env, toolchain, kVersionArgs));
  if (started) early.probe.emplace(std::move(*started));
  return early;
}

Result<std::vector<TargetRunner>> find_target_runners(
    const std::optional<std::string>& cwd, const ChildEnv& env,
    const std::optional<std::string>& toolchain, const std::vector<std::string>& selection_targets,
    HostProbe* early) {
  auto dir = physical_cwd(cwd);
  if (!dir) return dir.error();
  auto configs = read_cargo_configs(*dir, cargo_home(env, *dir));
  if (!configs) return configs.error();
  CargoView view{*dir, env, toolchain, std::move(*configs), early};
  auto targets = find_targets(view, selection_targets);
  if (!targets) return targets.error();
  std::vector<TargetRunner> runners;
  for (const Target& target : *targets) {
    TargetRunner runner;
    runner.triple = target.name;
    runner.variable = runner_variable(target.name);
    runner.variable_value = env_value(env, runner.variable);
    auto user = user_runner(view, target, runner);
    if (!user) return user.error();
    runner.user_runner = std::move(*user);
    runners.push_back(std::move(runner));
  }
  return runners;
}

}  // namespace tarnwick
