#include <dirent.h>
#include <fcntl.h>
#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/dir_tree.h"

namespace tarnwick::platform {
namespace {

IoError os_error(int code) {
  return IoError{fmt::format("{} (os error {})", std::strerror(code), code), code};
}

EntryKind kind_of(mode_t mode) {
  if (S_ISLNK(mode)) return EntryKind::Symlink;
  if (S_ISDIR(mode)) return EntryKind::Directory;
  if (S_ISREG(mode)) return EntryKind::File;
  return EntryKind::Other;
}

/// Calls `visit(fd, name)` for every entry of the directory open as `fd`
/// (which this call takes over), "." and ".." left out; stops at the first
/// failure of `visit` or of the listing itself.
template <typename Visit>
Status for_each_entry(int fd, Visit visit) {
  DIR* dir = ::fdopendir(fd);
  if (!dir) {
    int code = errno;
    ::close(fd);
    return os_error(code);
  }
  Status status = ok_status();
  while (status) {
    errno = 0;
    dirent* entry = ::readdir(dir);
    if (!entry) {
      if (errno != 0) status = os_error(errno);
      break;
    }
    const char* name = entry->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    status = visit(dirfd(dir), name);
  }
  ::closedir(dir);
  return status;
}

/// Opens the directory `name` relative to `parent_fd` without following a
/// link in its last component.
int open_dir_nofollow(int parent_fd, const char* name) {
  return ::openat(parent_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

/// Empties the directory open as `fd` (which this call takes over). An entry
/// that vanishes meanwhile (the compiler tidying up) is no failure.
Status remove_contents(int fd) {
  return for_each_entry(fd, [](int dir, const char* name) -> Status {
    struct stat st {};
    if (::fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
      return errno == ENOENT ? ok_status() : Status(os_error(errno));
    if (S_ISDIR(st.st_mode)) {
      int child = open_dir_nofollow(dir, name);
      if (child < 0) return errno == ENOENT ? ok_status() : Status(os_error(errno));
      if (auto status = remove_contents(child); !status) return status;
      if (::unlinkat(dir, name, AT_REMOVEDIR) != 0 && errno != ENOENT) return os_error(errno);
    } else if (::unlinkat(dir, name, 0) != 0 && errno != ENOENT) {
      return os_error(errno);
    }
    return ok_status();
  });
}

}  // namespace

Result<std::vector<DirEntry>> list_directory(const std::string& path, bool follow_link) {
  int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (follow_link ? 0 : O_NOFOLLOW);
  int fd = ::open(path.c_str(), flags);
  if (fd < 0) return os_error(errno);
  std::vector<DirEntry> entries;
  Status listed = for_each_entry(fd, [&](int dir, const char* name) {
    struct stat st {};
    if (::fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) == 0)
      entries.push_back({name, kind_of(st.st_mode)});
    return ok_status();
  });
  if (!listed) return listed.error();
  return entries;
}

Status remove_tree(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return os_error(errno);
  if (!S_ISDIR(st.st_mode)) {
    if (::unlink(path.c_str()) != 0) return os_error(errno);
    return ok_status();
  }
  int fd = open_dir_nofollow(AT_FDCWD, path.c_str());
  if (fd < 0) return os_error(errno);
  if (auto status = remove_contents(fd); !status) return status;
  if (::rmdir(path.c_str()) != 0) return os_error(errno);
  return ok_status();
}

}  // namespace tarnwick::platform
