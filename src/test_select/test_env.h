#pragma once
/// What cargo gives a test binary when it runs the tests itself: the package
/// root as working directory, the CARGO_* variables of the package and the
/// target, and the library search path. test_filter launches and bisection
/// group runs start the listed binary directly, so both take the place of
/// every run from here.

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "runner/toolchain.h"
#include "test_select/enumerate.h"

namespace tarnwick {

/// One workspace package as `cargo metadata` describes it.
struct PackageFacts {
  std::string name;
  std::string version;
  std::string manifest_path;
  std::vector<std::string> authors;
  std::string description;
  std::string homepage;
  std::string repository;
  std::string license;
  std::string license_file;
  std::string readme;
  std::string rust_version;
};

/// The facts of one call's build that every test run draws from.
struct TestEnvironment {
  std::map<std::string, PackageFacts> packages;  // by package id
  std::string target_directory;
  /// The cargo that ran the build, as cargo names itself to its children.
  std::string cargo;
  /// The toolchain's library folder for the build's target; empty when the
  /// toolchain did not name one.
  std::string target_libdir;
  /// Library folders build scripts asked for, inside the build's output.
  std::vector<std::string> native_dirs;
  /// The binaries each package built (target name, executable), by package id.
  std::map<std::string, std::vector<std::pair<std::string, std::string>>> bins;
};

/// How to ask the toolchain, built by the caller from the call's arguments.
struct TestEnvQuery {
  /// [toolchain] metadata --format-version 1 --no-deps and the manifest flags.
  std::vector<std::string> metadata_argv;
  /// The toolchain selector, for the compiler's own folders.
  std::optional<std::string> toolchain;
  /// The build's --target, when it named one.
  std::optional<std::string> target;
  /// The build's --target-dir, when it named one.
  std::optional<std::string> target_dir;
  std::optional<std::string> cwd;
};

/// Reads the call's environment facts once, after the build: `cargo
/// metadata` (under the cancel flag and a bounded time), the compiler's
/// folders and the build's artifact records. Fails, saying why, when they
/// cannot be read: the tests could then not run as cargo runs them.
Result<TestEnvironment> read_test_environment(const TestEnvQuery& query,
                                              std::string_view build_stdout);

/// The environment facts from `cargo metadata`'s JSON and the build's
/// output, the toolchain's part given.
Result<TestEnvironment> test_environment_from(std::string_view metadata_json,
                                              std::string_view build_stdout, std::string cargo,
                                              std::string target_libdir,
                                              const std::optional<std::string>& target_dir);

/// Where and with what one test binary runs.
struct TestRunPlace {
  std::string cwd;
  ChildEnv env;  // set over the child environment
};

/// The run place of `binary`; fails when the build's metadata does not know
/// its package.
Result<TestRunPlace> test_run_place(const TestEnvironment& environment, const TestBinary& binary);

}  // namespace tarnwick
