#pragma once
/// Writing and reading whole files, files a child writes into, and their sizes.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/error.h"

namespace tarnwick::platform {

/// Creates or truncates the file at `path` and writes all of `bytes` to it.
/// A failure is an IoError "<system text> (os error N)".
Status write_whole_file(const std::string& path, std::string_view bytes);

/// The file's size as the file system reports it, or nothing when it cannot
/// be read.
std::optional<uint64_t> file_size(const std::string& path);

/// The whole contents of the regular file at `path` (links followed), or
/// nothing when it cannot be opened or read.
std::optional<std::string> read_whole_file(const std::string& path);

/// Removes the file (or link) at `path`; a failure is the system's error.
Status remove_file(const std::string& path);

/// An open file that a child process writes into. Move-only; closes the
/// file when it goes.
class ChildOutputFile {
 public:
  ChildOutputFile() = default;
  explicit ChildOutputFile(int fd) : fd_(fd) {}
  ChildOutputFile(ChildOutputFile&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  ChildOutputFile& operator=(ChildOutputFile&&) = delete;
  ChildOutputFile(const ChildOutputFile&) = delete;
  ~ChildOutputFile() { close(); }

  /// The descriptor to hand to the child's standard output.
  int descriptor() const { return fd_; }
  /// The size of the file now, read from the open file itself.
  Result<uint64_t> size() const;
  void close();

 private:
  int fd_ = -1;
};

/// Opens `path` for a child to write into: creates it, or truncates an
/// existing regular file. Never follows a link in the last component, never
/// blocks on a FIFO or device, and refuses anything but a regular file with
/// one name (a hard link would write through to another name's contents).
Result<ChildOutputFile> create_child_output_file(const std::string& path);

}  // namespace tarnwick::platform
