#include "runner/cargo_config.h"

#include <fmt/format.h>
#include <toml++/toml.h>

#include <algorithm>

#include "base/path_text.h"
#include "platform/file_status.h"
#include "platform/write_file.h"

namespace tarnwick {
namespace {

/// cargo takes the name without extension when a folder holds both.
std::optional<std::string> config_file_in(const std::string& cargo_dir) {
  for (const char* name : {"config", "config.toml"}) {
    std::string path = join_path(cargo_dir, name);
    if (platform::file_kind(path) == platform::FileKind::File) return path;
  }
  return std::nullopt;
}

std::vector<std::string> config_file_paths(const std::string& cwd,
                                           const std::optional<std::string>& cargo_home) {
  std::vector<std::string> paths;
  for (std::optional<std::string> dir = cwd; dir; dir = lexical_parent(*dir)) {
    if (auto path = config_file_in(join_path(*dir, ".cargo"))) paths.push_back(std::move(*path));
  }
  std::optional<std::string> home = cargo_home ? config_file_in(*cargo_home) : std::nullopt;
  if (home && std::find(paths.begin(), paths.end(), *home) == paths.end()) paths.push_back(*home);
  return paths;
}

Error wrong_type(const std::string& path, std::string_view key, std::string_view expected) {
  return make_error(fmt::format("cargo configuration {}: `{}` must be {}", path, key, expected));
}

Result<ConfigWords> words_of(const toml::node& node, const std::string& path,
                             std::string_view key) {
  if (const auto* text = node.as_string()) return ConfigWords(text->get());
  const toml::array* array = node.as_array();
  if (!array) return wrong_type(path, key, "a string or an array of strings");
  std::vector<std::string> words;
  for (const toml::node& element : *array) {
    const auto* text = element.as_string();
    if (!text) return wrong_type(path, key, "a string or an array of strings");
    words.push_back(text->get());
  }
  return ConfigWords(std::move(words));
}

/// The table under `key`; none when absent.
Result<const toml::table*> table_under(const toml::table& parent, std::string_view key,
                                       const std::string& path, std::string_view shown) {
  const toml::node* node = parent.get(key);
  if (!node) return static_cast<const toml::table*>(nullptr);
  if (const toml::table* table = node->as_table()) return table;
  return wrong_type(path, shown, "a table");
}

Status read_build_target(const toml::table& document, CargoConfigFile& file) {
  auto build = table_under(document, "build", file.path, "build");
  if (!build) return build.error();
  const toml::node* target = *build ? (*build)->get("target") : nullptr;
  if (!target) return ok_status();
  auto words = words_of(*target, file.path, "build.target");
  if (!words) return words.error();
  file.build_target = std::move(*words);
  return ok_status();
}

Status read_runners(const toml::table& document, CargoConfigFile& file) {
  auto targets = table_under(document, "target", file.path, "target");
  if (!targets) return targets.error();
  if (!*targets) return ok_status();
  for (const auto& [key, node] : **targets) {
    std::string shown = fmt::format("target.{}", key.str());
    const toml::table* table = node.as_table();
    if (!table) return wrong_type(file.path, shown, "a table");
    const toml::node* runner = table->get("runner");
    if (!runner) continue;
    auto words = words_of(*runner, file.path, shown + ".runner");
    if (!words) return words.error();
    file.runners.emplace(std::string(key.str()), std::move(*words));
  }
  return ok_status();
}

Result<CargoConfigFile> read_config_file(const std::string& path) {
  std::optional<std::string> text = platform::read_whole_file(path);
  if (!text) return make_error(fmt::format("cannot read cargo configuration {}", path));
  toml::table document;
  try {
    document = toml::parse(*text, path);
  } catch (const toml::parse_error& e) {
    return make_error(fmt::format("cannot parse cargo configuration {}: {} (line {}, column {})",
                                  path, e.description(), e.source().begin.line,
                                  e.source().begin.column));
  }
  CargoConfigFile file;
  file.path = path;
  file.root = lexical_parent(lexical_parent(path).value_or("")).value_or("/");
  if (auto status = read_build_target(document, file); !status) return status.error();
  if (auto status = read_runners(document, file); !status) return status.error();
  return file;
}

}  // namespace

Result<std::vector<CargoConfigFile>> read_cargo_configs(
    const std::string& cwd, const std::optional<std::string>& cargo_home) {
  std::vector<CargoConfigFile> files;
  for (const std::string& path : config_file_paths(cwd, cargo_home)) {
    auto file = read_config_file(path);
    if (!file) return file.error();
    files.push_back(std::move(*file));
  }
  return files;
}

}  // namespace tarnwick
