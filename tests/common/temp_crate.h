#pragma once
// Temporary folders and small cargo crates for tests that run the real cargo.

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

namespace tarnwick::testing {

/// The bytes of the file at `path`; empty when it cannot be read.
inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

/// A fresh folder under the system's temp directory, removed with its
/// contents when the object goes.
class TempDir {
 public:
  explicit TempDir(const std::string& prefix = "tarnwick-test") {
    std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
    if (::mkdtemp(pattern.data())) path_ = pattern;
  }
  /// TARNWICK_KEEP_TEMP set keeps the folder, to look at a failed test's crate.
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty() && !std::getenv("TARNWICK_KEEP_TEMP"))
      std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }
  std::string file(const std::string& relative) const { return *this / relative; }

  /// Writes `contents` to `relative`, creating parent folders.
  void write(const std::string& relative, const std::string& contents) const {
    std::filesystem::path file = std::filesystem::path(path_) / relative;
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << contents;
  }

 private:
  std::string path_;
};

/// A crate with no registry dependencies: Cargo.toml plus the given files
/// (relative path, contents), e.g. {"src/lib.rs", "pub fn f() {}"}.
class TempCrate : public TempDir {
 public:
  explicit TempCrate(const std::string& name,
                     const std::vector<std::pair<std::string, std::string>>& files,
                     const std::string& extra_manifest = "")
      : TempDir("tarnwick-crate") {
    write("Cargo.toml", "[package]\nname = \"" + name +
                            "\"\nversion = \"0.1.0\"\nedition = \"2021\"\n\n[dependencies]\n" +
                            extra_manifest);
    for (const auto& [relative, contents] : files) write(relative, contents);
  }
};

}  // namespace tarnwick::testing
