#pragma once
/// The settings of cargo's configuration files that pick a build's targets
/// and the runners of its binaries, from the files cargo itself reads.

#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "base/error.h"

namespace tarnwick {

/// A setting cargo takes as one string or as an array of strings.
using ConfigWords = std::variant<std::string, std::vector<std::string>>;

/// What one configuration file sets.
struct CargoConfigFile {
  std::string path;
  /// Where relative paths in the file start: the folder above the file's own.
  std::string root;
  std::optional<ConfigWords> build_target;
  /// The `runner` of each table under `[target]`, by the table's key: a
  /// target's name or a "cfg(...)" expression.
  std::map<std::string, ConfigWords> runners;
};

/// The configuration files cargo reads when started in `cwd` (absolute, no
/// links), nearest first: `.cargo/config`, or else `.cargo/config.toml`, in
/// `cwd` and each folder above it, then the one in `cargo_home` unless the
/// walk read that file already (or none is given). An error names the file that cannot be read
/// or parsed (with toml++'s reason) or that holds a setting of the wrong type.
Result<std::vector<CargoConfigFile>> read_cargo_configs(
    const std::string& cwd, const std::optional<std::string>& cargo_home);

}  // namespace tarnwick
