#pragma once
/// The test binaries of a `cargo test --no-run --message-format=json` build.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

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
  /// A library whose doctests `cargo test` runs besides this binary.
  bool has_doctests = false;
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

}  // namespace tarnwick
