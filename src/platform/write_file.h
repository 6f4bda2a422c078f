#pragma once
/// Writing a whole file beneath a directory without ever leaving it, and
/// reading one.
///
/// The root is a `WorkingDir`, opened once when a call begins; every path is
/// resolved beneath that open folder, never again through the root's own
/// path, and a root whose path names another folder by the time of a write
/// refuses it. A path is resolved beneath the root by the kernel, or one
/// component at a time where the kernel lacks that call; either way a
/// symbolic link anywhere on the path, or a step out of the root, refuses
/// it. Missing directories beneath the root are created on the way. The new
/// content goes to a fresh file beside the target, under a name no one can
/// guess, which then takes the target's place: an inode outside the root (a
/// hard link's other name, a link's target) is never written through, and a
/// reader sees the old file or the new one, never a half-written one. Each
/// rename or removal first checks, by device and inode, that it touches only
/// the file the server wrote or the old target it displaces; any other entry
/// is left where it is. The write counts as done exactly when the target's
/// name holds the server's file after its last rename. Folders the write
/// made are removed again when nothing is written.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "base/error.h"

namespace tarnwick::platform {

/// Why a path cannot take a written file.
enum class TargetFault {
  ParentMissing,   // the root or a directory on the way is missing or not a directory
  LeavesRoot,      // the path would step out of its root
  SymbolicLink,    // a component, the last one included, is a symbolic link
  Directory,       // the path names a directory, or can only name one ("x/", "x/.")
  NotRegularFile,  // a FIFO, socket or device: opening it could block or reach a device
  Moved,           // the folder the new file waited in is no longer the one the path names
  RootMoved,       // the root's path no longer names the folder opened when the call began
  Swapped,         // the new file's name no longer names the file written (moved, replaced)
};

/// A refused target with the system's error that stands for it (ENOENT,
/// EISDIR and the like), for callers that report write failures as such.
struct TargetRefusal {
  TargetFault fault;
  IoError cause;
};

/// How a path beneath a root is resolved: by the kernel in one call, or one
/// component at a time. The second is what runs where the kernel lacks the
/// first; tests choose it directly.
enum class Resolution { Kernel, ComponentWalk };

/// The folder a call works in, opened when the call begins, before anything
/// the call starts can move it. Move-only; closes in its destructor.
class WorkingDir {
 public:
  /// Opens the folder at `path`, links followed; the server's own current
  /// directory when there is none (or it is empty). One that cannot be opened
  /// is remembered: every write beneath it fails with that error.
  static WorkingDir open(std::optional<std::string> path);

  WorkingDir(WorkingDir&& other) noexcept;
  WorkingDir& operator=(WorkingDir&& other) noexcept;
  WorkingDir(const WorkingDir&) = delete;
  WorkingDir& operator=(const WorkingDir&) = delete;
  ~WorkingDir();

  /// The path as the call gave it; none for the server's own directory.
  const std::optional<std::string>& path() const { return path_; }

 private:
  friend struct WorkingDirAccess;  // the implementation file's resolver
  WorkingDir(std::optional<std::string> path, int fd, int open_error);

  std::optional<std::string> path_;
  int fd_ = -1;
  int open_error_ = 0;  // why the folder could not be opened, when `fd_` is -1
};

/// A new file being written beside its target. Move-only; the file is
/// removed again unless `commit` moved it over the target.
class ReplacementFile {
 public:
  /// A folder made on the way to the file (the implementation's own).
  struct MadeDir;

  ReplacementFile(ReplacementFile&& other) noexcept;
  ReplacementFile& operator=(ReplacementFile&& other) noexcept;
  ReplacementFile(const ReplacementFile&) = delete;
  ReplacementFile& operator=(const ReplacementFile&) = delete;
  ~ReplacementFile();

  /// Appends all of `bytes`.
  Status write(std::string_view bytes);
  /// Everything the file holds now, read from its start (a child may have
  /// written it).
  Result<std::string> contents() const;
  /// Flushes the file to storage and puts it in the target's place
  /// (replacing the entry, never writing through it); returns the file's
  /// size as the file system reports it once the target's name holds it.
  /// Refuses when the folder it waits in or the root moved (`Moved`,
  /// `RootMoved`), a directory took the target's name (`Directory`), or its
  /// own name held another entry when it was moved (`Swapped`): the target
  /// then keeps its old file unless another process moved that, and the new
  /// file's name is removed only while it is still the new file.
  std::variant<uint64_t, TargetRefusal, IoError> commit();
  /// The open file, for platform code that hands it to a child as its output.
  int descriptor() const { return fd_; }

 private:
  /// Where the target's folder lies: the root and the folders beneath it.
  struct Place {
    WorkingDir root;  // a handle of its own on the caller's root
    std::vector<std::string> dirs;
    Resolution how = Resolution::Kernel;
  };

  friend std::variant<ReplacementFile, TargetRefusal, IoError> open_replacement_beneath(
      const WorkingDir&, std::string_view, Resolution);
  ReplacementFile(int dir_fd, int fd, std::string temp_name, std::string name, Place place,
                  std::vector<MadeDir> made);
  /// Removes the new file's name while it still names the file and, deepest
  /// first, the folders made for it that are still empty.
  void discard();

  int dir_fd_ = -1;
  int fd_ = -1;
  std::string temp_name_;
  std::string name_;
  Place place_;
  std::vector<MadeDir> made_;
};

/// Checks that `relative` can take a written file beneath `root`, whose path
/// must still name it: every directory on the way that exists is a directory
/// and no symbolic link, and the last component is a regular file or a new
/// name. A directory that does not exist yet passes: the write creates it.
/// Nothing is opened but directories, so a FIFO never blocks the check.
std::variant<Unit, TargetRefusal, IoError> check_target_beneath(
    const WorkingDir& root, std::string_view relative, Resolution how = Resolution::Kernel);

/// Resolves and checks like `check_target_beneath`, creating the missing
/// directories on the way (each beneath the one before, never through a
/// link), then creates the new, empty file beside the target, ready for
/// `write` and `commit`. A failure removes the directories it made.
std::variant<ReplacementFile, TargetRefusal, IoError> open_replacement_beneath(
    const WorkingDir& root, std::string_view relative, Resolution how = Resolution::Kernel);

/// Makes a write past the file-size limit (`ulimit -f`) fail with EFBIG
/// instead of ending the process with SIGXFSZ. The programs the server starts
/// get the default back (platform/job_guard_linux.cpp resets every signal).
void ignore_file_size_signal();

/// The whole contents of the regular file at `path` (links followed), or
/// nothing when it cannot be opened or read.
std::optional<std::string> read_whole_file(const std::string& path);

}  // namespace tarnwick::platform
