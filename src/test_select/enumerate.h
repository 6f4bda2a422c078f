#pragma once
/// The test binaries of a `cargo test --no-run --message-format=json` build
/// and the names of the tests each binary holds, asked with libtest's
/// `--list`.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/duration.h"
#include "base/error.h"
#include "base/json_text.h"

namespace tarnwick {

/// What kind of target a test binary was built from.
enum class TestTargetKind { Lib, Test, Bin, Example, Bench };

/// "lib", "test", "bin", "example" or "bench": the word used in records.
std::string_view test_target_kind_name(TestTargetKind kind);

/// One compiled test binary, as cargo reported it.
struct TestBinary {
  std::string package;  // short package name, never empty
  std::string target;   // the artifact's target name
  TestTargetKind kind = TestTargetKind::Lib;
  std::string executable;  // path of the binary, as cargo reported it
  /// cargo's id of the package, as the build's records and `cargo metadata`
  /// name it.
  std::string package_id;
};

/// cargo's selector for the binary's target: "--lib", or "--test",
/// "--bin", "--example", "--bench" followed by the target name.
std::vector<std::string> cargo_target_selector(const TestBinary& binary);

/// The test binaries named by the compiler-artifact lines of a build's
/// standard output, in output order. Lines that are not test artifacts are
/// skipped; never fails.
std::vector<TestBinary> parse_test_artifacts(std::string_view build_stdout);

/// The short package name inside a cargo package id, in any of its forms
/// ("path+file:///w/app#0.1.0", "registry+...#serde@1.0.0",
/// "app 0.1.0 (path+file:///w/app)"); empty when none can be found.
std::string package_name_from_id(std::string_view package_id);

/// The string elements of a JSON array, in order; other elements and
/// non-arrays give nothing.
std::vector<std::string> json_array_strings(const json& array);

/// What one binary's `--list` showed.
struct TestListing {
  std::vector<std::string> names;
  /// The listing closed with libtest's count line ("N tests, M benchmarks");
  /// a binary without it (harness = false) has no libtest names to run.
  bool libtest = false;
};

/// Runs `executable --list` (with `--ignored` after it when `ignored_only`)
/// in `cwd` for at most 60 seconds and returns the test names in output
/// order. A timeout and a cancellation come back as the runner's
/// `TimeoutError` and `CancelledError`; every other failure, a non-zero exit
/// included, is a message naming the binary.
Result<TestListing> list_tests_once(const std::string& executable, bool ignored_only,
                                    const std::optional<std::string>& cwd);

/// How long one `--list` run of a test binary may take.
inline constexpr Duration kListTimeout{60, 0};

/// The binary's test names sorted in byte order without duplicates; with
/// `include_ignored` the ignored tests are listed as well. Returns the
/// first listing error.
Result<TestListing> list_tests(const std::string& executable, bool include_ignored,
                               const std::optional<std::string>& cwd);

}  // namespace tarnwick
