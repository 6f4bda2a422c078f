#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

#include "platform/c_string.h"
#include "platform/file_status.h"

namespace tarnwick::platform {

FileKind file_kind(const std::string& path) {
  if (!fits_c_string(path)) return FileKind::Missing;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return FileKind::Missing;
  if (S_ISREG(st.st_mode)) return FileKind::File;
  if (S_ISDIR(st.st_mode)) return FileKind::Directory;
  return FileKind::Other;
}

std::optional<std::string> real_path(const std::string& path) {
  if (!fits_c_string(path)) return std::nullopt;
  std::unique_ptr<char, decltype(&::free)> resolved(::realpath(path.c_str(), nullptr), &::free);
  if (!resolved) return std::nullopt;
  return std::string(resolved.get());
}

bool is_executable(const std::string& path) {
  return file_kind(path) == FileKind::File && fits_c_string(path) &&
         ::access(path.c_str(), X_OK) == 0;
}

}  // namespace tarnwick::platform
