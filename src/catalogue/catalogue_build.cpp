#include "catalogue/catalogue_entries.h"

/// The tools that compile the project and report its diagnostics.

namespace tarnwick::catalogue {
namespace {

using namespace shared;

/// Where and how the compiling tools run, first in each of their lists.
std::vector<Property> invocation_context() {
  return {working_dir(), toolchain(), env(), output_path()};
}

/// The workspace members and the library, binary and example targets.
std::vector<Property> workspace_and_artifacts() {
  return {workspace(), exclude(), lib(), bins(), bin(), examples(), example()};
}

/// The test and bench targets that check, build and clippy can select.
std::vector<Property> test_and_bench_targets() {
  return {tests(), test_target(), benches(), bench()};
}

/// Profile, parallelism, platform, manifest, resolution and features.
std::vector<Property> build_settings_and_features() {
  return {profile(),
          jobs(),
          keep_going(),
          target(),
          target_dir(),
          timings(),
          ignore_rust_version(),
          manifest_path(),
          offline(),
          frozen(),
          features(),
          all_features(),
          no_default_features(),
          locked()};
}

}  // namespace

json cargo_check_tool() {
  return tool_entry(
      "cargo_check",
      R"(ALWAYS use this tool instead of running `cargo check` in a terminal when working in a Rust/Cargo project. Analyses the project for compile errors without producing binaries — faster than a full build and the preferred first step after editing Rust source. Returns structured NDJSON diagnostics with exact file paths, line/column spans, error codes, and message text that you can act on directly. ALWAYS pass `working_dir` set to the absolute path of your workspace root — the default is the tarnwick server's own working directory and will usually cause the call to fail.)",
      joined(
          {invocation_context(),
           {
               string_property(
                   "package",
                   R"(Check only the named package within the workspace. Omit to check all workspace members.)"),
               boolean_property(
                   "release",
                   R"(If true, check with the release profile. Default: false (debug).)"),
               boolean_property(
                   "all_targets",
                   R"(If true, check all targets (lib, bins, tests, benches, examples). Default: false.)"),
           },
           workspace_and_artifacts(),
           test_and_bench_targets(),
           build_settings_and_features(),
           {timeout_secs()}}),
      {}, Effect::kReadOnly);
}

json cargo_build_tool() {
  return tool_entry(
      "cargo_build",
      R"(ALWAYS use this tool instead of running `cargo build` in a terminal when working in a Rust/Cargo project. Compiles the project and returns structured NDJSON diagnostics with exact file paths, line/column spans, and message text. Prefer cargo_check for error-only checking when binaries are not needed. ALWAYS pass `working_dir` set to the absolute path of your workspace root — the default is the tarnwick server's own working directory and will usually cause the call to fail.)",
      joined(
          {invocation_context(),
           {
               string_property(
                   "package",
                   R"(Build only the named package within the workspace. Omit to build all workspace members.)"),
               boolean_property(
                   "release",
                   R"(If true, build with the release profile (optimised). Default: false (debug).)"),
               boolean_property(
                   "all_targets",
                   R"(If true, build all targets (lib, bins, tests, benches, examples). Default: false.)"),
           },
           workspace_and_artifacts(),
           test_and_bench_targets(),
           build_settings_and_features(),
           {timeout_secs()}}),
      {}, Effect::kReadOnly);
}

json cargo_clippy_tool() {
  return tool_entry(
      "cargo_clippy",
      R"(ALWAYS use this tool instead of running `cargo clippy` in a terminal when working in a Rust/Cargo project. Runs lint analysis and returns structured NDJSON diagnostics with exact file paths, line/column spans, severity, lint names, and suggested fixes. Use this after editing Rust source to catch non-idiomatic patterns and common mistakes. ALWAYS pass `working_dir` set to the absolute path of your workspace root — the default is the tarnwick server's own working directory and will usually cause the call to fail.)",
      joined(
          {invocation_context(),
           {
               string_property(
                   "package",
                   R"(Lint only the named package within the workspace. Omit to lint all workspace members.)"),
               boolean_property(
                   "all_targets",
                   R"(If true, lint all targets (lib, bins, tests, benches, examples). Default: false.)"),
           },
           workspace_and_artifacts(),
           test_and_bench_targets(),
           build_settings_and_features(),
           {timeout_secs()}}),
      {}, Effect::kReadOnly);
}

json cargo_doc_tool() {
  return tool_entry(
      "cargo_doc",
      R"(ALWAYS use this tool instead of running `cargo doc` in a terminal when working in a Rust/Cargo project. Builds HTML documentation for the project (written to target/doc/) and returns structured NDJSON diagnostics for any warnings or errors encountered during the build. ALWAYS pass `working_dir` set to the absolute path of your workspace root — the default is the tarnwick server's own working directory and will usually cause the call to fail.)",
      joined(
          {invocation_context(),
           {
               string_property(
                   "package",
                   R"(Build docs for only the named package. Omit to build docs for all workspace members.)"),
               boolean_property(
                   "no_deps",
                   R"(If true, do not build documentation for dependencies. Default: false.)"),
               boolean_property(
                   "document_private_items",
                   R"(If true, include documentation for private items. Default: false.)"),
           },
           workspace_and_artifacts(),
           build_settings_and_features()}),
      {}, Effect::kReadOnly);
}

}  // namespace tarnwick::catalogue
