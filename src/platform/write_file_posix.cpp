#include <fcntl.h>
#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/c_string.h"
#include "platform/write_file.h"

namespace tarnwick::platform {
namespace {

IoError io_error(int code) {
  return IoError{fmt::format("{} (os error {})", std::strerror(code), code), code};
}

}  // namespace

Status write_whole_file(const std::string& path, std::string_view bytes) {
  if (!fits_c_string(path)) return io_error(EINVAL);
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return io_error(errno);
  size_t written = 0;
  while (written < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      int code = errno;
      ::close(fd);
      return io_error(code);
    }
    written += static_cast<size_t>(n);
  }
  // A failed close can mean lost data on some file systems; report it.
  if (::close(fd) != 0 && errno != EINTR) return io_error(errno);
  return ok_status();
}

std::optional<uint64_t> file_size(const std::string& path) {
  if (!fits_c_string(path)) return std::nullopt;
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return std::nullopt;
  return static_cast<uint64_t>(info.st_size);
}

}  // namespace tarnwick::platform
