#pragma once
/// The server's own environment and current directory.

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tarnwick::platform {

/// The variable's value, or nothing when unset.
std::optional<std::string> get_env(std::string_view name);

/// Every variable of the server's environment, in the order the system keeps them.
std::vector<std::pair<std::string, std::string>> environment_snapshot();

/// The server's current directory, or nothing when it cannot be read.
std::optional<std::string> current_directory();

/// The user's home: USERPROFILE when set, else HOME.
std::optional<std::string> home_directory();

/// The path of the server's own executable file, or nothing when unknown.
std::optional<std::string> own_executable();

/// A path that starts the server's own executable for as long as the server
/// runs, even when its file is replaced or removed meanwhile; it holds no
/// white space.
std::string own_executable_link();

}  // namespace tarnwick::platform
