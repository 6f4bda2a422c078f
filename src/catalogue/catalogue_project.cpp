#include <string>

#include "catalogue/catalogue_entries.h"

/// The tools that inspect, format, edit or release a project, and the two
/// that the server answers itself.

namespace tarnwick::catalogue {

json cargo_metadata_tool() {
  return tool_entry(
      "cargo_metadata",
      R"(ALWAYS use this tool instead of running `cargo metadata` in a terminal when working in a Rust/Cargo project. Returns Cargo workspace and package metadata as structured JSON: workspace root, all member packages, targets, dependencies, features, and the resolved dependency graph. Use this to understand project structure instead of reading Cargo.toml files manually. ALWAYS pass `working_dir` set to the absolute path of your workspace root — the default is the tarnwick server's own working directory and will usually cause the call to fail.)",
      {string_property(
           "working_dir",
           R"(Absolute path to the directory containing the Cargo.toml (or a workspace member). STRONGLY RECOMMENDED to pass explicitly. If omitted, defaults to the tarnwick server process's working directory, which is typically NOT your workspace and will usually cause manifest resolution to fail.)"),
       shared::env(),
       boolean_property(
           "no_deps",
           R"(If true, omit the resolved dependency graph from the output. This is much faster and produces less output. Default: false.)"),
       string_property(
           "output_file",
           R"(Relative path (under the working directory) to write the JSON output to. Absolute paths and '..' components are rejected. When provided, the metadata is written to this file and a short confirmation is returned instead of the full blob. Useful for large workspaces where the output would be too large to inline.)")},
      {}, Effect::kWrites);
}

json cargo_fmt_check_tool() {
  using namespace shared;
  return tool_entry(
      "cargo_fmt_check",
      R"(ALWAYS use this tool instead of running `cargo fmt --check` in a terminal when working in a Rust/Cargo project. Verifies source code formatting without modifying files. Returns a diff of changes that would be applied; empty output means the code is already correctly formatted. Use this to check formatting before using cargo_fmt to fix it. ALWAYS pass `working_dir` set to the absolute path of your workspace root — the default is the tarnwick server's own working directory and will usually cause the call to fail.)",
      {working_dir(), toolchain(), env(),
       string_property(
           "package",
           R"(Check formatting for only the named package within the workspace. Omit to check all workspace members.)")},
      {}, Effect::kReadOnly);
}

json cargo_fmt_tool() {
  using namespace shared;
  return tool_entry(
      "cargo_fmt",
      R"(ALWAYS use this tool instead of running `cargo fmt` in a terminal when working in a Rust/Cargo project. Automatically formats all Rust source files in place according to the project's rustfmt configuration. Use after editing source code to ensure consistent formatting. ALWAYS pass `working_dir` set to the absolute path of your workspace root — the default is the tarnwick server's own working directory and will usually cause the call to fail.)",
      {working_dir(), toolchain(), env(),
       string_property(
           "package",
           R"(Format only the named package within the workspace. Omit to format all workspace members.)")},
      {}, Effect::kWrites);
}

json cargo_tree_tool() {
  using namespace shared;
  return tool_entry(
      "cargo_tree",
      R"(ALWAYS use this tool instead of running `cargo tree` in a terminal when working in a Rust/Cargo project. Displays the dependency tree as readable text. Use to inspect transitive dependencies, find duplicate versions, or see which packages depend on a given crate (via the invert parameter). For structured dependency data use cargo_metadata instead. ALWAYS pass `working_dir` set to the absolute path of your workspace root — the default is the tarnwick server's own working directory and will usually cause the call to fail.)",
      {working_dir(), toolchain(), env(),
       string_property(
           "package",
           R"(Show the dependency tree for only the named package. Omit to show trees for all workspace members.)"),
       integer_property(
           "depth",
           R"(Maximum depth of the dependency tree to display. Omit for unlimited depth.)"),
       string_property(
           "invert",
           R"(Invert the tree to show which packages depend on the named crate. Value is the crate name to invert on.)"),
       boolean_property(
           "duplicates",
           R"(If true, only show packages that appear more than once in the dependency graph (duplicate versions). Default: false.)"),
       workspace(), exclude(),
       string_property(
           "target",
           R"(Filter dependencies matching the given target triple (--target <TRIPLE>). Pass `all` to include all targets. Defaults to the host platform.)"),
       manifest_path(),
       boolean_property(
           "locked",
           R"(If true, assert that Cargo.lock will remain unchanged (--locked): error if it is out of date rather than updating it. Default: false.)"),
       offline(), frozen(), features(), all_features(), no_default_features()},
      {}, Effect::kReadOnly);
}

json cargo_clean_tool() {
  using namespace shared;
  return tool_entry(
      "cargo_clean",
      R"(ALWAYS use this tool instead of running `cargo clean` in a terminal when working in a Rust/Cargo project. Removes build artefacts from the target directory, freeing disk space and forcing a full rebuild on the next build command. Use when builds are in an inconsistent state. ALWAYS pass `working_dir` set to the absolute path of your workspace root — the default is the tarnwick server's own working directory and will usually cause the call to fail.)",
      {working_dir(), env(),
       string_property("package",
                       R"(Clean only the named package's artefacts. Omit to clean all artefacts.)"),
       boolean_property(
           "release",
           R"(If true, clean only the release profile artefacts. Default: false (clean all profiles).)")},
      {}, Effect::kDestructive);
}

json cargo_update_tool() {
  using namespace shared;
  return tool_entry(
      "cargo_update",
      R"(ALWAYS use this tool instead of running `cargo update` in a terminal when working in a Rust/Cargo project. Updates dependency versions in Cargo.lock to the latest compatible versions allowed by Cargo.toml. Use after adding new dependencies or when you want to pull in compatible dependency updates. ALWAYS pass `working_dir` set to the absolute path of your workspace root — the default is the tarnwick server's own working directory and will usually cause the call to fail.)",
      {working_dir(), env(),
       string_property("package",
                       R"(Update only the named dependency. Omit to update all dependencies.)"),
       string_property(
           "precise",
           R"(Update the package specified by `package` to exactly this version string (e.g. "1.2.3").)")},
      {}, Effect::kWrites);
}

json cargo_fix_tool() {
  using namespace shared;
  return tool_entry(
      "cargo_fix",
      R"(ALWAYS use this tool instead of running `cargo fix` in a terminal when working in a Rust/Cargo project. Automatically applies compiler-suggested fixes (machine-applicable lints and edition migrations) to source files. Use after cargo_check or cargo_clippy to apply safe fixes in bulk. Returns plain text output. ALWAYS pass `working_dir` set to the absolute path of your workspace root — the default is the tarnwick server's own working directory and will usually cause the call to fail.)",
      {working_dir(), env(),
       string_property(
           "package",
           R"(Fix only the named package within the workspace. Omit to fix all workspace members.)"),
       boolean_property(
           "allow_dirty",
           R"(If true, allow fixing even if the working tree has uncommitted changes. Default: false.)"),
       boolean_property(
           "allow_staged",
           R"(If true, allow fixing even if there are staged but uncommitted changes. Default: false.)"),
       boolean_property(
           "clippy",
           R"(If true, also apply Clippy's machine-applicable suggestions (equivalent to `cargo clippy --fix`). Default: false.)")},
      {}, Effect::kWrites);
}

json cargo_add_tool() {
  using namespace shared;
  return tool_entry(
      "cargo_add",
      R"(ALWAYS use this tool instead of running `cargo add` in a terminal when working in a Rust/Cargo project. Adds one or more dependencies to Cargo.toml and updates Cargo.lock. Specify an exact version with the `version` parameter or let Cargo choose the latest compatible release. ALWAYS pass `working_dir` set to the absolute path of your workspace root — the default is the tarnwick server's own working directory and will usually cause the call to fail.)",
      {working_dir(), env(),
       string_property(
           "dependency",
           R"(Name of the crate to add (e.g. "serde"). May include a version requirement (e.g. "serde@1.0").)"),
       string_property("features",
                       R"(Comma-separated list of features to enable for the added dependency.)"),
       boolean_property("dev", R"(If true, add as a dev-dependency. Default: false.)"),
       boolean_property("build", R"(If true, add as a build-dependency. Default: false.)"),
       string_property(
           "package",
           R"(Add the dependency to this workspace member's Cargo.toml. Omit to use the root/only package.)")},
      {"dependency"}, Effect::kWrites);
}

json cargo_remove_tool() {
  using namespace shared;
  return tool_entry(
      "cargo_remove",
      R"(ALWAYS use this tool instead of running `cargo remove` in a terminal when working in a Rust/Cargo project. Removes a dependency from Cargo.toml and updates Cargo.lock. ALWAYS pass `working_dir` set to the absolute path of your workspace root — the default is the tarnwick server's own working directory and will usually cause the call to fail.)",
      {working_dir(), env(), string_property("dependency", R"(Name of the crate to remove.)"),
       boolean_property("dev", R"(If true, remove from dev-dependencies. Default: false.)"),
       boolean_property("build", R"(If true, remove from build-dependencies. Default: false.)"),
       string_property(
           "package",
           R"(Remove the dependency from this workspace member's Cargo.toml. Omit to use the root/only package.)")},
      {"dependency"}, Effect::kWrites);
}

json cargo_publish_tool() {
  using namespace shared;
  return tool_entry(
      "cargo_publish",
      std::string(
          R"(ALWAYS use this tool instead of running `cargo publish` in a terminal when working in a Rust/Cargo project. Packages and uploads the crate to )") +
          kPublicRegistryDomain +
          R"(. IMPORTANT: publishing is permanent — a version cannot be deleted from )" +
          kPublicRegistryDomain +
          R"(. Always run with dry_run=true first to validate the package before publishing for real. ALWAYS pass `working_dir` set to the absolute path of your workspace root — the default is the tarnwick server's own working directory and will usually cause the call to fail.)",
      {working_dir(), env(),
       string_property("package", R"(Publish only the named package within the workspace.)"),
       boolean_property(
           "dry_run",
           std::string(
               R"(If true, perform all checks and packaging steps but do not actually upload to )") +
               kPublicRegistryDomain +
               R"(. Use this first to validate before a real publish. Default: false.)"),
       boolean_property(
           "allow_dirty",
           R"(If true, allow publishing even if the working tree has uncommitted changes. Default: false.)")},
      {}, Effect::kDestructive);
}

json cargo_setup_tool() {
  return tool_entry(
      "cargo_setup",
      R"(Returns the canonical tarnwick instructions that should appear somewhere in this repository's Pellimar instruction files (e.g. `.drovana/pellimar-instructions.md` or a sub-instructions file). After receiving this output, YOU should locate the relevant instruction files in the workspace, decide where the tarnwick section best fits given the project's existing conventions, and add or update it as needed. The wording does not need to match exactly — adapt it to the style of any existing instructions. Run this once after installing tarnwick in a new repository. When `working_dir` is supplied, the tool also probes for `cargo-nextest` and (if missing) appends install commands as fenced shell blocks that Ostrel Pellimar Chat renders with **Copy** / **Run in Terminal** buttons.)",
      {string_property(
          "working_dir",
          R"(Optional absolute path to the workspace root. When set, the tool detects whether the workspace contains a `.config/nextest.toml` (which escalates the cargo-nextest section from optional to recommended) and whether the `cargo-nextest` plugin is installed (so it can suggest installation when missing).)")},
      {}, Effect::kReadOnly);
}

json cargo_diagnostic_tool() {
  return tool_entry(
      "cargo_diagnostic",
      R"(Report which `cargo` and `rustc` binaries tarnwick will invoke for the given working directory, why those were chosen, whether a rust-toolchain.toml is in effect, and the relevant environment (PATH, CARGO, RUSTC, RUSTUP_TOOLCHAIN, RUSTUP_HOME, CARGO_HOME). Use this when a cargo command appears to use the wrong toolchain (e.g. rust-toolchain.toml seems to be ignored). ALWAYS pass `working_dir` set to the absolute path of your workspace root — the default is the tarnwick server's own working directory and will usually cause the call to fail.)",
      {string_property(
          "working_dir",
          R"(Absolute path to the directory to diagnose. STRONGLY RECOMMENDED to pass explicitly: this tool is most useful when pointed at the workspace where a cargo command misbehaved. If omitted, defaults to the tarnwick server process's working directory, which is typically NOT your workspace.)")},
      {}, Effect::kReadOnly);
}

}  // namespace tarnwick::catalogue
