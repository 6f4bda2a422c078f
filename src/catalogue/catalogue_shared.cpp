#include "catalogue/catalogue_entries.h"

/// The property entries that several tools carry with the same schema and
/// the same words. Each lives here once so the tools cannot drift apart.

namespace tarnwick::catalogue::shared {

Property working_dir() {
  return string_property(
      "working_dir",
      R"(Absolute path to the directory containing the Cargo.toml (or any descendant of the workspace root that owns a rust-toolchain.toml). STRONGLY RECOMMENDED to pass explicitly. If omitted, defaults to the tarnwick server process's working directory, which is typically NOT your workspace and will usually cause manifest or toolchain resolution to fail.)");
}

Property env() {
  /// Any variable name; a string value sets it, null removes it.
  json value_schema = json::object({{"type", json::array({"string", "null"})}});
  return {
      "env",
      json::object(
          {{"type", "object"},
           {"additionalProperties", std::move(value_schema)},
           {"description",
            R"(Optional environment variables to set on the cargo subprocess for this one invocation. Keys are env var names (no `=`, non-empty); values are either a string (set the variable) or null (remove it from the child's environment). Layered on top of tarnwick's defaults (CARGO_TERM_COLOR, NO_COLOR, RUSTC), so a caller-supplied value wins. Use this for one-shot debug knobs such as RUSTFLAGS, RUST_LOG, RUSTC_BOOTSTRAP, or compiler-internal dumps like QUENDRAL_DUMP_MIR — do not shell out to a terminal just to apply an env var.)"}})};
}

Property toolchain() {
  return string_property(
      "toolchain",
      R"(Rustup toolchain to run this command with, passed as a leading `+<toolchain>` argument (e.g. cargo +nightly ...). Accepts any rustup toolchain name such as "nightly", "stable", "1.78", or a custom toolchain like "velkarin". Requires rustup. Omit to use the toolchain selected by rust-toolchain.toml or the environment.)");
}

Property output_path() {
  return string_property(
      "output_path",
      R"(Optional relative path (under the working directory) to write the full NDJSON output to. Absolute paths and '..' components are rejected. When provided, the complete tool output is written to this file and the tool returns a SUMMARY containing the invocation header, an x-tarnwick-output-file pointer record (path, bytes, lines), all compiler error records, the build-finished record, any captured stderr, the final status trailer, and — for cargo_test — libtest summary/failure marker lines. Warnings, passing-test lines, dep-artifact records, and captured println! replays are dropped from the summary but preserved verbatim in the file. Use this for high-volume runs (cargo_test with many tests, cargo_build / cargo_check / cargo_clippy / cargo_doc on large workspaces) to keep the tool result small while preserving the full transcript on disk for follow-up inspection.)");
}

Property timeout_secs() {
  return integer_property(
      "timeout_secs", 0,
      R"(Optional wall-clock budget in seconds. When the budget elapses, cargo and the entire subprocess tree (rustc, test binaries, build scripts) are terminated and the call returns a timeout error. 0 or omitted means no timeout (the default). Recommended for bounding runaway test runs.)");
}

Property workspace() {
  return boolean_property(
      "workspace",
      R"(If true, operate on all packages in the workspace (--workspace). Default: false.)");
}

Property exclude() {
  return string_property(
      "exclude",
      R"(Package to exclude from a workspace operation (--exclude <SPEC>). Only meaningful together with workspace=true.)");
}

Property lib() {
  return boolean_property(
      "lib", R"(If true, restrict to the package's library target (--lib). Default: false.)");
}

Property bins() {
  return boolean_property("bins",
                          R"(If true, select all binary targets (--bins). Default: false.)");
}

Property bin() {
  return string_property("bin", R"(Select only the named binary target (--bin <NAME>).)");
}

Property examples() {
  return boolean_property("examples",
                          R"(If true, select all example targets (--examples). Default: false.)");
}

Property example() {
  return string_property("example", R"(Select only the named example target (--example <NAME>).)");
}

Property tests() {
  return boolean_property("tests",
                          R"(If true, select all test targets (--tests). Default: false.)");
}

Property test_target() {
  return string_property(
      "test",
      R"(Select only the named integration-test target (--test <NAME>, the filename without .rs under tests/).)");
}

Property test_run() {
  return string_property(
      "test",
      R"(Run only the integration test target with this name (filename without .rs extension under tests/).)");
}

Property benches() {
  return boolean_property("benches",
                          R"(If true, select all benchmark targets (--benches). Default: false.)");
}

Property bench() {
  return string_property("bench", R"(Select only the named benchmark target (--bench <NAME>).)");
}

Property all_targets() {
  return boolean_property(
      "all_targets",
      R"(If true, select all targets (lib, bins, tests, benches, examples) (--all-targets). Default: false.)");
}

Property profile() {
  return string_property(
      "profile",
      R"(Build with the named profile (--profile <NAME>), e.g. a custom profile defined in Cargo.toml. Mutually exclusive with `release`.)");
}

Property jobs() {
  return integer_property(
      "jobs", 1,
      R"(Number of parallel build jobs (--jobs <N>). Defaults to the number of logical CPUs.)");
}

Property keep_going() {
  return boolean_property(
      "keep_going",
      R"(If true, build as many targets as possible instead of aborting on the first error (--keep-going). Default: false.)");
}

Property target() {
  return string_property(
      "target",
      R"(Build for the given target triple (--target <TRIPLE>), e.g. x86_64-unknown-linux-gnu. Omit to build for the host platform.)");
}

Property target_dir() {
  return string_property("target_dir",
                         R"(Directory for all generated artifacts (--target-dir <DIR>).)");
}

Property timings() {
  return boolean_property(
      "timings",
      R"(If true, emit an HTML build-timing report at the end of the build (--timings). Default: false.)");
}

Property ignore_rust_version() {
  return boolean_property(
      "ignore_rust_version",
      R"(If true, ignore the `rust-version` field in the affected packages (--ignore-rust-version). Default: false.)");
}

Property manifest_path() {
  return string_property("manifest_path",
                         R"(Path to the Cargo.toml to operate on (--manifest-path <PATH>).)");
}

Property offline() {
  return boolean_property(
      "offline", R"(If true, run without accessing the network (--offline). Default: false.)");
}

Property frozen() {
  return boolean_property(
      "frozen",
      R"(If true, require Cargo.lock and the cache to be up to date; equivalent to --locked plus --offline (--frozen). Default: false.)");
}

Property locked() {
  return boolean_property(
      "locked",
      R"(If true, pass --locked: error if Cargo.lock is out of date rather than updating it. Use in CI to enforce a committed lockfile. Default: false.)");
}

Property features() {
  return string_property(
      "features", R"(Comma-separated list of features to activate. Omit to use default features.)");
}

Property all_features() {
  return boolean_property(
      "all_features",
      R"(If true, activate all features of all selected packages (passes --all-features). Default: false.)");
}

Property no_default_features() {
  return boolean_property(
      "no_default_features",
      R"(If true, do not activate the `default` feature (passes --no-default-features). Default: false.)");
}

Property no_run() {
  return boolean_property(
      "no_run",
      R"(If true, compile the tests but do not run them (--no-run). Default: false. Not supported together with `doc: true` — cargo has no way to compile doctests without running them.)");
}

}  // namespace tarnwick::catalogue::shared
