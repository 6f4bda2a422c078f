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

std::optional<std::string> read_whole_file(const std::string& path) {
  if (!fits_c_string(path)) return std::nullopt;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return std::nullopt;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return std::nullopt;
  }
  std::string text;
  char buffer[8192];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ::close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  return text;
}

Status remove_file(const std::string& path) {
  if (!fits_c_string(path)) return io_error(EINVAL);
  if (::unlink(path.c_str()) != 0) return io_error(errno);
  return ok_status();
}

Result<uint64_t> ChildOutputFile::size() const {
  struct stat info {};
  if (::fstat(fd_, &info) != 0) return io_error(errno);
  return static_cast<uint64_t>(info.st_size);
}

void ChildOutputFile::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

Result<ChildOutputFile> create_child_output_file(const std::string& path) {
  if (!fits_c_string(path)) return io_error(EINVAL);
  // No O_TRUNC here: what the open finds is checked before anything is cut.
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
  if (fd < 0) return io_error(errno);
  ChildOutputFile file(fd);
  struct stat info {};
  if (::fstat(fd, &info) != 0) return io_error(errno);
  if (!S_ISREG(info.st_mode)) return io_error(EINVAL);
  if (info.st_nlink > 1) return io_error(EMLINK);
  // The child writes with ordinary blocking semantics.
  int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) return io_error(errno);
  if (::ftruncate(fd, 0) != 0) return io_error(errno);
  return file;
}

}  // namespace tarnwick::platform
