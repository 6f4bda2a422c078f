#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <string>

#include "platform/environment.h"

extern char** environ;

namespace tarnwick::platform {

std::optional<std::string> get_env(std::string_view name) {
  const char* value = ::getenv(std::string(name).c_str());
  if (!value) return std::nullopt;
  return std::string(value);
}

std::vector<std::pair<std::string, std::string>> environment_snapshot() {
  std::vector<std::pair<std::string, std::string>> vars;
  for (char** e = environ; e && *e; ++e) {
    std::string_view entry(*e);
    size_t eq = entry.find('=');
    if (eq == std::string_view::npos || eq == 0) continue;
    vars.emplace_back(std::string(entry.substr(0, eq)), std::string(entry.substr(eq + 1)));
  }
  return vars;
}

std::optional<std::string> current_directory() {
  std::string buffer(PATH_MAX, '\0');
  if (!::getcwd(buffer.data(), buffer.size())) return std::nullopt;
  buffer.resize(std::char_traits<char>::length(buffer.c_str()));
  return buffer;
}

std::optional<std::string> home_directory() {
  if (auto profile = get_env("USERPROFILE")) return profile;
  return get_env("HOME");
}

std::optional<std::string> own_executable() {
  std::string buffer(PATH_MAX, '\0');
  ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
  if (length <= 0 || static_cast<size_t>(length) >= buffer.size()) return std::nullopt;
  buffer.resize(static_cast<size_t>(length));
  return buffer;
}

std::string own_executable_link() { return "/proc/" + std::to_string(::getpid()) + "/exe"; }

}  // namespace tarnwick::platform
