#include <fcntl.h>
#include <fmt/format.h>
#include <linux/openat2.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

#include "platform/c_string.h"
#include "platform/write_file.h"

namespace tarnwick::platform {
namespace {

IoError io_error(int code) {
  return IoError{fmt::format("{} (os error {})", std::strerror(code), code), code};
}

TargetRefusal refusal(TargetFault fault, int code) { return TargetRefusal{fault, io_error(code)}; }

/// Closes its descriptor when it goes.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

/// The relative path taken apart: the directories on the way and the last
/// name; "" and "." components are no components.
struct PathParts {
  std::vector<std::string> dirs;
  std::string name;
  bool names_directory = false;  // empty, ".", "x/" or "x/."
};

PathParts split_relative(std::string_view relative) {
  PathParts parts;
  std::string_view last_raw;
  size_t start = 0;
  while (start <= relative.size()) {
    size_t slash = relative.find('/', start);
    if (slash == std::string_view::npos) slash = relative.size();
    last_raw = relative.substr(start, slash - start);
    if (!last_raw.empty() && last_raw != ".") parts.dirs.emplace_back(last_raw);
    start = slash + 1;
  }
  if (parts.dirs.empty() || last_raw.empty() || last_raw == ".") {
    parts.names_directory = true;
    return parts;
  }
  parts.name = std::move(parts.dirs.back());
  parts.dirs.pop_back();
  return parts;
}

bool has_parent_step(const PathParts& parts) {
  for (const std::string& dir : parts.dirs)
    if (dir == "..") return true;
  return parts.name == "..";
}

template <class T>
using Resolved = std::variant<T, TargetRefusal, IoError>;

bool same_entry(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool same_directory(int a, int b) {
  struct stat sa {};
  struct stat sb {};
  return ::fstat(a, &sa) == 0 && ::fstat(b, &sb) == 0 && same_entry(sa, sb);
}

/// The text `open` takes for a working directory's path.
const char* dir_path_text(const std::optional<std::string>& path) {
  return path && !path->empty() ? path->c_str() : ".";
}

}  // namespace

/// What the resolver needs of a `WorkingDir` beyond its public face.
struct WorkingDirAccess {
  /// A descriptor of its own on the root, once its path is seen to name the
  /// folder opened at the start still: a root moved away, or replaced by a
  /// link or another folder, refuses the write rather than send it to
  /// wherever the path leads now.
  static Resolved<Fd> open_root(const WorkingDir& root) {
    if (root.fd_ < 0) {
      int code = root.open_error_;
      if (code == ENOENT || code == ENOTDIR) return refusal(TargetFault::ParentMissing, code);
      return io_error(code);
    }
    Fd now(::open(dir_path_text(root.path_), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (now.get() < 0 || !same_directory(now.get(), root.fd_))
      return refusal(TargetFault::RootMoved, ENOENT);
    int fd = ::fcntl(root.fd_, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) return io_error(errno);
    return Fd(fd);
  }

  /// A second handle on the same folder, for a file that waits in it.
  static WorkingDir duplicate(const WorkingDir& root) {
    int fd = root.fd_ < 0 ? -1 : ::fcntl(root.fd_, F_DUPFD_CLOEXEC, 0);
    int code = root.fd_ < 0 ? root.open_error_ : (fd < 0 ? errno : 0);
    return WorkingDir(root.path_, fd, code);
  }
};

/// A folder made on the way to a new file, and the folder it was made in.
struct ReplacementFile::MadeDir {
  Fd parent;
  std::string name;
  dev_t device = 0;
  ino_t inode = 0;
};

namespace {

using MadeDirs = std::vector<ReplacementFile::MadeDir>;

/// What `name` in `dir` holds now, links not followed; none when nothing.
std::optional<struct stat> entry_at(int dir, const std::string& name) {
  struct stat st {};
  if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
  return st;
}

/// Whether `name` in `dir` is the entry `file` describes (a link or another
/// file put under that name is not).
bool names_entry(int dir, const std::string& name, const struct stat& file) {
  std::optional<struct stat> st = entry_at(dir, name);
  return st && same_entry(*st, file);
}

/// Notes that `name` was made in `parent` and opened as `opened`.
void note_made_dir(const Fd& parent, const std::string& name, const Fd& opened, MadeDirs& made) {
  struct stat st {};
  Fd held(::fcntl(parent.get(), F_DUPFD_CLOEXEC, 0));
  if (held.get() >= 0 && ::fstat(opened.get(), &st) == 0)
    made.push_back({std::move(held), name, st.st_dev, st.st_ino});
}

/// Removes the folders of `made`, deepest first, that are still the ones
/// made and are empty.
void remove_made_dirs(MadeDirs& made) {
  for (auto dir = made.rbegin(); dir != made.rend(); ++dir) {
    struct stat st {};
    st.st_dev = dir->device;
    st.st_ino = dir->inode;
    if (names_entry(dir->parent.get(), dir->name, st))
      ::unlinkat(dir->parent.get(), dir->name.c_str(), AT_REMOVEDIR);
  }
  made.clear();
}

/// Resolves `path` beneath `root` in one call; ENOSYS when the kernel lacks it.
Resolved<Fd> open_dirs_by_kernel(const Fd& root, const std::string& path, int& missing_call) {
  open_how how{};
  how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS | RESOLVE_NO_SYMLINKS;
  for (int attempt = 0;; ++attempt) {
    long fd = ::syscall(SYS_openat2, root.get(), path.c_str(), &how, sizeof how);
    if (fd >= 0) return Fd(static_cast<int>(fd));
    int code = errno;
    // EAGAIN: a concurrent rename kept the kernel from proving the walk
    // stayed beneath; a retry settles it.
    if (code == EINTR || (code == EAGAIN && attempt < 16)) continue;
    // Some sandboxes refuse unknown calls with EPERM instead of ENOSYS.
    if (code == ENOSYS || code == EPERM) {
      missing_call = code;
      return io_error(code);
    }
    if (code == ELOOP) return refusal(TargetFault::SymbolicLink, code);
    if (code == EXDEV) return refusal(TargetFault::LeavesRoot, code);
    if (code == ENOENT || code == ENOTDIR) return refusal(TargetFault::ParentMissing, code);
    return io_error(code);
  }
}

/// Tells why `name` in `dir` could not be opened as a directory.
Resolved<Fd> classify_failed_step(const Fd& dir, const std::string& name, int code) {
  struct stat st {};
  if (code == ELOOP ||
      (::fstatat(dir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)))
    return refusal(TargetFault::SymbolicLink, ELOOP);
  if (code == ENOENT || code == ENOTDIR) return refusal(TargetFault::ParentMissing, code);
  return io_error(code);
}

/// What to do with directories on the way that do not exist yet.
enum class MissingDirs {
  Accept,  // the check before a write: the write will create them
  Create,
  Refuse,  // the look again before a rename: a folder that went is a moved one
};

/// Opens `name` in `dir` as a directory without following a link; ENOENT
/// comes back as a missing directory (an open `Fd` of -1) unless `missing`
/// refuses it, and `Create` makes it first, noting it in `made`.
Resolved<Fd> open_dir_step(const Fd& dir, const std::string& name, MissingDirs missing,
                           MadeDirs* made) {
  for (bool tried = false, made_here = false;;) {
    int fd = ::openat(dir.get(), name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) {
      Fd opened(fd);
      if (made_here && made) note_made_dir(dir, name, opened, *made);
      return opened;
    }
    int code = errno;
    if (code == EINTR) continue;
    if (code != ENOENT || missing == MissingDirs::Refuse || tried)
      return classify_failed_step(dir, name, code);
    if (missing == MissingDirs::Accept) return Fd();
    // Made with the usual bits, as mkdir -p would; one that appears meanwhile
    // is opened like any other, a link refused.
    made_here = ::mkdirat(dir.get(), name.c_str(), 0777) == 0;
    if (!made_here && errno != EEXIST) return io_error(errno);
    tried = true;
  }
}

/// Opens each directory in turn relative to the one before, refusing to
/// follow a symbolic link at any step. Past a missing directory that is
/// accepted nothing exists to open: the result is then an `Fd` of -1.
Resolved<Fd> open_dirs_by_walk(Fd dir, const std::vector<std::string>& dirs, MissingDirs missing,
                               MadeDirs* made) {
  for (const std::string& name : dirs) {
    Resolved<Fd> step = open_dir_step(dir, name, missing, made);
    if (!std::holds_alternative<Fd>(step)) return step;
    dir = std::move(std::get<Fd>(step));
    if (dir.get() < 0) return dir;
  }
  return dir;
}

Resolved<Fd> open_parent(Fd root, const std::vector<std::string>& dirs, Resolution how,
                         MissingDirs missing, MadeDirs* made) {
  if (dirs.empty()) return root;
  if (how == Resolution::Kernel) {
    std::string path;
    for (const std::string& dir : dirs) path += (path.empty() ? "" : "/") + dir;
    int missing_call = 0;
    Resolved<Fd> opened = open_dirs_by_kernel(root, path, missing_call);
    // A directory missing on the way: the walk tells which, and deals with it.
    auto* refused = std::get_if<TargetRefusal>(&opened);
    bool absent = refused && refused->cause.code == ENOENT && missing != MissingDirs::Refuse;
    if (missing_call == 0 && !absent) return opened;
  }
  return open_dirs_by_walk(std::move(root), dirs, missing, made);
}

/// The resolved directory that holds the target, the target's name, and the
/// permission bits of the regular file there now (none for a new name).
struct Target {
  Fd dir;
  std::string name;
  std::optional<mode_t> existing_mode;
};

Resolved<Target> examine_name(Fd dir, std::string name) {
  // In a directory that is not there yet the name is a new one.
  if (dir.get() < 0) return Target{std::move(dir), std::move(name), std::nullopt};
  struct stat st {};
  if (::fstatat(dir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno == ENOENT) return Target{std::move(dir), std::move(name), std::nullopt};
    return io_error(errno);
  }
  if (S_ISLNK(st.st_mode)) return refusal(TargetFault::SymbolicLink, ELOOP);
  if (S_ISDIR(st.st_mode)) return refusal(TargetFault::Directory, EISDIR);
  if (!S_ISREG(st.st_mode)) return refusal(TargetFault::NotRegularFile, EINVAL);
  return Target{std::move(dir), std::move(name), st.st_mode & 0777};
}

/// The directory that `dirs` names beneath `root` now.
Resolved<Fd> open_parent_beneath(const WorkingDir& root, const std::vector<std::string>& dirs,
                                 Resolution how, MissingDirs missing, MadeDirs* made = nullptr) {
  Resolved<Fd> opened = WorkingDirAccess::open_root(root);
  if (auto* root_fd = std::get_if<Fd>(&opened))
    opened = open_parent(std::move(*root_fd), dirs, how, missing, made);
  return opened;
}

Resolved<Target> resolve_target(const WorkingDir& root, const PathParts& parts, Resolution how,
                                MissingDirs missing, MadeDirs* made = nullptr) {
  if (has_parent_step(parts)) return refusal(TargetFault::LeavesRoot, EXDEV);
  if (parts.names_directory) return refusal(TargetFault::Directory, EISDIR);
  Resolved<Fd> opened = open_parent_beneath(root, parts.dirs, how, missing, made);
  if (auto* refused = std::get_if<TargetRefusal>(&opened)) return std::move(*refused);
  if (auto* failed = std::get_if<IoError>(&opened)) return std::move(*failed);
  return examine_name(std::move(std::get<Fd>(opened)), parts.name);
}

/// A name for the new file that no one can guess beforehand, so no one can
/// plant anything at it: 64 random bits, hidden by a leading dot.
std::variant<std::string, IoError> temp_name() {
  uint64_t bits = 0;
  ssize_t got = 0;
  do {
    got = ::getrandom(&bits, sizeof bits, 0);
  } while (got < 0 && errno == EINTR);
  if (got != static_cast<ssize_t>(sizeof bits)) return io_error(got < 0 ? errno : EIO);
  return fmt::format(".tarnwick-{:016x}.tmp", bits);
}

using Placed = std::variant<Unit, TargetRefusal, IoError>;

/// Removes `name` from `dir` only while it is still `entry`.
void unlink_if(int dir, const std::string& name, const struct stat& entry) {
  if (names_entry(dir, name, entry)) ::unlinkat(dir, name.c_str(), 0);
}

/// For a file system that cannot exchange two names: the new file's name is
/// checked just before and after a plain rename.
Placed rename_checked(int dir, const std::string& temp, const std::string& name,
                      const struct stat& file) {
  if (!names_entry(dir, temp, file)) return refusal(TargetFault::Swapped, ENOENT);
  if (::renameat(dir, temp.c_str(), dir, name.c_str()) != 0) {
    if (errno == EISDIR) return refusal(TargetFault::Directory, EISDIR);
    return io_error(errno);
  }
  if (!names_entry(dir, name, file)) return refusal(TargetFault::Swapped, ENOENT);
  return Unit{};
}

/// After `temp` and `name` changed places while `name` held `old`: the
/// target is replaced when `file` took its name; otherwise `old`, when it is
/// still beside, changes places again with what took the name. The answer
/// is what the name holds after that last rename. Only `old` beside a placed
/// file, or `file` beside a restored `old`, is removed: anything else may be
/// another process's entry, or the old file moved on, and stays.
Placed settle_exchange(int dir, const std::string& temp, const std::string& name,
                       const struct stat& file, const struct stat& old) {
  std::optional<struct stat> there = entry_at(dir, name);
  if (there && !same_entry(*there, file) && names_entry(dir, temp, old))
    ::renameat2(dir, temp.c_str(), dir, name.c_str(), RENAME_EXCHANGE);
  if (names_entry(dir, name, file)) {
    unlink_if(dir, temp, old);  // the target replaced
    return Unit{};
  }
  if (names_entry(dir, name, old)) unlink_if(dir, temp, file);
  return refusal(TargetFault::Swapped, ENOENT);
}

/// Gives the file open as `fd` the name `name` in `dir`, which must be free,
/// straight from the descriptor, so no entry swapped in beside it can take
/// the name; an error number where links cannot be made so (no /proc).
int link_from_descriptor(int fd, int dir, const std::string& name) {
  const std::string path = fmt::format("/proc/self/fd/{}", fd);
  return ::linkat(AT_FDCWD, path.c_str(), dir, name.c_str(), AT_SYMLINK_FOLLOW) == 0 ? 0 : errno;
}

/// Puts `file`, open as `fd` and waiting as `temp` in `dir`, at `name`. Each
/// step checks first that it moves only `file` or the entry it displaces; the
/// new file's name is removed whenever the old file is known to be safe.
Placed move_into_place(int dir, int fd, const std::string& temp, const std::string& name,
                       const struct stat& file) {
  // While the old file is still at the target, or there is none, the new
  // file's name can go.
  auto clearing_temp = [&](Placed placed) {
    unlink_if(dir, temp, file);
    return placed;
  };
  int code = ENOENT;
  for (int attempt = 0; attempt < 16; ++attempt) {
    if (!names_entry(dir, temp, file)) return clearing_temp(refusal(TargetFault::Swapped, ENOENT));
    std::optional<struct stat> old = entry_at(dir, name);
    if (!old) {
      code = link_from_descriptor(fd, dir, name);
      if (code == 0) return clearing_temp(Unit{});
      if (code == EEXIST) continue;  // a target came meanwhile
      if (::renameat2(dir, temp.c_str(), dir, name.c_str(), RENAME_NOREPLACE) == 0)
        return names_entry(dir, name, file) ? Placed(Unit{})
                                            : refusal(TargetFault::Swapped, ENOENT);
      code = errno;
      if (code == EEXIST || code == ENOENT) continue;
      break;
    }
    if (S_ISDIR(old->st_mode)) return clearing_temp(refusal(TargetFault::Directory, EISDIR));
    if (::renameat2(dir, temp.c_str(), dir, name.c_str(), RENAME_EXCHANGE) == 0)
      return settle_exchange(dir, temp, name, file, *old);
    code = errno;
    if (code != ENOENT) break;  // ENOENT: one of the two names went meanwhile
  }
  if (code == EINVAL || code == ENOSYS) return clearing_temp(rename_checked(dir, temp, name, file));
  return clearing_temp(io_error(code));
}

}  // namespace

WorkingDir WorkingDir::open(std::optional<std::string> path) {
  if (path && !fits_c_string(*path)) return WorkingDir(std::move(path), -1, EINVAL);
  int fd = ::open(dir_path_text(path), O_PATH | O_DIRECTORY | O_CLOEXEC);
  return WorkingDir(std::move(path), fd, fd < 0 ? errno : 0);
}

WorkingDir::WorkingDir(std::optional<std::string> path, int fd, int open_error)
    : path_(std::move(path)), fd_(fd), open_error_(open_error) {}

WorkingDir::WorkingDir(WorkingDir&& other) noexcept
    : path_(std::move(other.path_)),
      fd_(std::exchange(other.fd_, -1)),
      open_error_(other.open_error_) {}

WorkingDir& WorkingDir::operator=(WorkingDir&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    path_ = std::move(other.path_);
    fd_ = std::exchange(other.fd_, -1);
    open_error_ = other.open_error_;
  }
  return *this;
}

WorkingDir::~WorkingDir() {
  if (fd_ >= 0) ::close(fd_);
}

ReplacementFile::ReplacementFile(int dir_fd, int fd, std::string temp_name, std::string name,
                                 Place place, std::vector<MadeDir> made)
    : dir_fd_(dir_fd),
      fd_(fd),
      temp_name_(std::move(temp_name)),
      name_(std::move(name)),
      place_(std::move(place)),
      made_(std::move(made)) {}

ReplacementFile::ReplacementFile(ReplacementFile&& other) noexcept
    : dir_fd_(std::exchange(other.dir_fd_, -1)),
      fd_(std::exchange(other.fd_, -1)),
      temp_name_(std::move(other.temp_name_)),
      name_(std::move(other.name_)),
      place_(std::move(other.place_)),
      made_(std::move(other.made_)) {}

ReplacementFile& ReplacementFile::operator=(ReplacementFile&& other) noexcept {
  if (this != &other) {
    discard();
    dir_fd_ = std::exchange(other.dir_fd_, -1);
    fd_ = std::exchange(other.fd_, -1);
    temp_name_ = std::move(other.temp_name_);
    name_ = std::move(other.name_);
    place_ = std::move(other.place_);
    made_ = std::move(other.made_);
  }
  return *this;
}

ReplacementFile::~ReplacementFile() { discard(); }

void ReplacementFile::discard() {
  if (fd_ >= 0) {
    struct stat file {};
    if (!temp_name_.empty() && ::fstat(fd_, &file) == 0) unlink_if(dir_fd_, temp_name_, file);
    ::close(fd_);
    fd_ = -1;
  }
  if (dir_fd_ >= 0) ::close(std::exchange(dir_fd_, -1));
  remove_made_dirs(made_);
}

Status ReplacementFile::write(std::string_view bytes) {
  if (fd_ < 0) return io_error(EBADF);
  size_t written = 0;
  while (written < bytes.size()) {
    ssize_t n = ::write(fd_, bytes.data() + written, bytes.size() - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      return io_error(errno);
    }
    written += static_cast<size_t>(n);
  }
  return ok_status();
}

Result<std::string> ReplacementFile::contents() const {
  struct stat st {};
  if (fd_ < 0 || ::fstat(fd_, &st) != 0) return io_error(fd_ < 0 ? EBADF : errno);
  std::string text(static_cast<size_t>(st.st_size), '\0');
  size_t got = 0;
  while (got < text.size()) {
    ssize_t n = ::pread(fd_, text.data() + got, text.size() - got, static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return io_error(errno);
    if (n == 0) break;  // cut short meanwhile
    got += static_cast<size_t>(n);
  }
  text.resize(got);
  return text;
}

std::variant<uint64_t, TargetRefusal, IoError> ReplacementFile::commit() {
  if (fd_ < 0) return io_error(EBADF);
  auto fail = [this](auto why) -> std::variant<uint64_t, TargetRefusal, IoError> {
    discard();
    return why;
  };
  // A write the file system took but could not store shows here, before the
  // file takes the target's place.
  struct stat file {};
  if ((::fdatasync(fd_) != 0 && errno != EINVAL) || ::fstat(fd_, &file) != 0)
    return fail(io_error(errno));
  // The folder the new file waits in may have been moved since it was
  // opened (a long cargo run writes into it): the file goes in only while
  // that folder is still the one the path names beneath the root.
  Resolved<Fd> now = open_parent_beneath(place_.root, place_.dirs, place_.how, MissingDirs::Refuse);
  auto* now_fd = std::get_if<Fd>(&now);
  if (!now_fd || !same_directory(now_fd->get(), dir_fd_)) {
    auto* refused = std::get_if<TargetRefusal>(&now);
    if (refused && refused->fault == TargetFault::RootMoved) return fail(std::move(*refused));
    return fail(refusal(TargetFault::Moved, ENOENT));
  }
  Placed placed = move_into_place(dir_fd_, fd_, temp_name_, name_, file);
  temp_name_.clear();  // dealt with there: what is left under it is not surely ours
  if (auto* refused = std::get_if<TargetRefusal>(&placed)) return fail(std::move(*refused));
  if (auto* failed = std::get_if<IoError>(&placed)) return fail(std::move(*failed));
  made_.clear();  // the folders now hold the file: they stay
  int fd = std::exchange(fd_, -1);
  // A failed close can mean lost data on some file systems; report it.
  int closed = ::close(fd);
  int close_code = errno;
  ::close(std::exchange(dir_fd_, -1));
  if (closed != 0 && close_code != EINTR) return io_error(close_code);
  return static_cast<uint64_t>(file.st_size);
}

std::variant<Unit, TargetRefusal, IoError> check_target_beneath(const WorkingDir& root,
                                                                std::string_view relative,
                                                                Resolution how) {
  if (!fits_c_string(relative)) return io_error(EINVAL);
  Resolved<Target> target =
      resolve_target(root, split_relative(relative), how, MissingDirs::Accept);
  if (auto* refused = std::get_if<TargetRefusal>(&target)) return std::move(*refused);
  if (auto* failed = std::get_if<IoError>(&target)) return std::move(*failed);
  return Unit{};
}

std::variant<ReplacementFile, TargetRefusal, IoError> open_replacement_beneath(
    const WorkingDir& root, std::string_view relative, Resolution how) {
  if (!fits_c_string(relative)) return io_error(EINVAL);
  PathParts parts = split_relative(relative);
  MadeDirs made;
  auto fail = [&made](auto why) -> std::variant<ReplacementFile, TargetRefusal, IoError> {
    remove_made_dirs(made);
    return why;
  };
  Resolved<Target> resolved = resolve_target(root, parts, how, MissingDirs::Create, &made);
  if (auto* refused = std::get_if<TargetRefusal>(&resolved)) return fail(std::move(*refused));
  if (auto* failed = std::get_if<IoError>(&resolved)) return fail(std::move(*failed));
  Target& target = std::get<Target>(resolved);

  const mode_t mode = target.existing_mode.value_or(0666);
  // Created exclusively: an entry already at the name, a link planted there
  // included, is never opened; another random name is drawn instead. Open
  // for reading too, to check what a child wrote into it.
  for (int attempt = 0;; ++attempt) {
    std::variant<std::string, IoError> drawn = temp_name();
    if (auto* failed = std::get_if<IoError>(&drawn)) return fail(std::move(*failed));
    std::string& name = std::get<std::string>(drawn);
    int fd = ::openat(target.dir.get(), name.c_str(),
                      O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd >= 0) {
      // The umask may have narrowed the bits of the file being replaced.
      if (target.existing_mode) ::fchmod(fd, *target.existing_mode);
      return ReplacementFile(target.dir.release(), fd, std::move(name), std::move(target.name),
                             {WorkingDirAccess::duplicate(root), std::move(parts.dirs), how},
                             std::move(made));
    }
    if (errno == EINTR || (errno == EEXIST && attempt < 16)) continue;
    return fail(io_error(errno));
  }
}

void ignore_file_size_signal() {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  ::sigaction(SIGXFSZ, &ignore, nullptr);
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

}  // namespace tarnwick::platform
