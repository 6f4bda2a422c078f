#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "invoke_test_support.h"
#include "tools/dispatch.h"

namespace tarnwick {
namespace {

using testing::FakeCargo;
using testing::RecordingSink;
using testing::TempDir;

/// Runs tools through dispatch against the scripted cargo stand-in, with the
/// server's log lines kept off the test's output.
class BuildToolCommands : public ::testing::Test {
 protected:
  ToolOutcome run(std::string_view tool, json arguments, const ProgressSink* sink = nullptr) {
    arguments["working_dir"] = dir_.path();
    ::testing::internal::CaptureStdout();
    ToolOutcome outcome = dispatch_tool(tool, arguments, sink);
    ::testing::internal::GetCapturedStdout();
    return outcome;
  }
  /// The arguments of every cargo run so far, each joined by blanks.
  std::vector<std::string> argv_lines() const {
    std::vector<std::string> lines;
    for (const std::string& call : cargo_.calls()) lines.push_back(call.substr(call.find(' ') + 1));
    return lines;
  }
  /// The arguments of the last cargo run of `arguments` given to `tool`.
  std::string argv_of(std::string_view tool, const json& arguments) {
    run(tool, arguments);
    std::vector<std::string> lines = argv_lines();
    return lines.empty() ? "<no run>" : lines.back();
  }

  FakeCargo cargo_;
  TempDir dir_;
};

TEST_F(BuildToolCommands, EachToolBuildsItsOwnCommandLine) {
  cargo_.script("exit 0\n");
  EXPECT_EQ(argv_of("cargo_check", {{"toolchain", "nightly"}, {"package", "core"}}),
            "+nightly check --message-format=json --package core");
  EXPECT_EQ(argv_of("cargo_clippy", {{"keep_going", true},
                                     {"jobs", 2},
                                     {"target", "t"},
                                     {"ignore_rust_version", true},
                                     {"locked", true}}),
            "clippy --message-format=json --jobs 2 --keep-going --target t "
            "--ignore-rust-version --locked");
  // Doc takes no test or bench targets, and --bin after --bins.
  EXPECT_EQ(argv_of("cargo_doc", {{"tests", true},
                                  {"bin", "cli"},
                                  {"bins", true},
                                  {"document_private_items", "yes"},
                                  {"no_deps", 1},
                                  {"all_targets", true},
                                  {"features", "f"}}),
            "doc --message-format=json --bins --bin cli --no-deps --document-private-items "
            "--features f");
  EXPECT_EQ(argv_of("cargo_tree", {{"depth", 0}, {"toolchain", " +beta "}}),
            "+beta tree --depth 0");
  EXPECT_EQ(argv_of("cargo_tree", {{"depth", -1}, {"invert", "serde"}, {"duplicates", true}}),
            "tree --invert serde --duplicates --depth -1");
  EXPECT_EQ(argv_of("cargo_tree", {{"depth", 2.5}, {"ignore_rust_version", true}}), "tree");
  EXPECT_EQ(argv_of("cargo_tree", {{"depth", "2"}, {"keep_going", true}, {"target", "t"}}),
            "tree --target t");
  EXPECT_EQ(argv_of("cargo_update", {{"package", "p"}, {"precise", "1.2.3"}}),
            "update --package p --precise 1.2.3");
  EXPECT_EQ(argv_of("cargo_update", {{"package", "p"}, {"toolchain", "nightly"}}),
            "update --package p");
  EXPECT_EQ(
      argv_of(
          "cargo_publish",
          {{"toolchain", "nightly"}, {"dry_run", true}, {"allow_dirty", "on"}, {"package", "p"}}),
      "publish --package p --dry-run --allow-dirty");
}

TEST_F(BuildToolCommands, ExitCodeSetsTheErrorFlagAndRefusalsRunNothing) {
  cargo_.script("exit 101\n");
  ToolOutcome failed = run("cargo_build", json::object());
  ASSERT_TRUE(std::holds_alternative<ToolText>(failed));
  EXPECT_TRUE(std::get<ToolText>(failed).is_error);
  cargo_.script("exit 0\n");
  ToolOutcome passed = run("cargo_check", json::object());
  ASSERT_TRUE(std::holds_alternative<ToolTextWithSuggestions>(passed));
  EXPECT_FALSE(std::get<ToolTextWithSuggestions>(passed).is_error);
  EXPECT_EQ(argv_lines().size(), 2u);

  // A bad output path or timeout, and an unpinned `precise`, end the call before cargo.
  EXPECT_TRUE(std::holds_alternative<ToolFailed>(run("cargo_doc", {{"output_path", "../x"}})));
  EXPECT_TRUE(std::holds_alternative<ToolFailed>(run("cargo_build", {{"timeout_secs", "10"}})));
  EXPECT_TRUE(
      std::holds_alternative<ToolFailed>(run("cargo_update", {{"package", 3}, {"precise", "1"}})));
  EXPECT_EQ(argv_lines().size(), 2u);
}

TEST_F(BuildToolCommands, PackageCountRunsOncePerScopeWithTheCallsLockFlags) {
  const std::string total = R"({"reason":"x-tarnwick-progress-total","total_units":3})";
  cargo_.script_for(1, "out {\"packages\":[1,2,3],\"resolve\":null}\n");
  cargo_.script("exit 0\n");
  const json locked = {{"manifest_path", "Cargo.toml"}, {"locked", true}, {"frozen", "maybe"}};
  RecordingSink first, second, quiet;
  run("cargo_build", locked, first.get());
  run("cargo_check", locked, second.get());
  run("cargo_doc", json::object());  // no sink: no count
  std::vector<std::string> runs = argv_lines();
  ASSERT_EQ(runs.size(), 4u);
  EXPECT_EQ(runs[0], "metadata --format-version=1 --manifest-path Cargo.toml --locked");
  EXPECT_TRUE(runs[1].starts_with("build ")) << runs[1];
  EXPECT_TRUE(runs[2].starts_with("check ")) << runs[2];
  EXPECT_TRUE(runs[3].starts_with("doc ")) << runs[3];
  EXPECT_EQ(first.lines.front(), total);
  EXPECT_EQ(second.lines.front(), total);

  // A bad timeout fails only after the count was taken; a failed count writes nothing.
  cargo_.script("exit 1\n");
  ToolOutcome refused = run("cargo_build", {{"toolchain", "x"}, {"timeout_secs", -1}}, quiet.get());
  ASSERT_TRUE(std::holds_alternative<ToolFailed>(refused));
  EXPECT_EQ(error_text(std::get<ToolFailed>(refused).error),
            "timeout_secs must be a non-negative integer, got -1");
  EXPECT_EQ(argv_lines().back(), "+x metadata --format-version=1");
  EXPECT_EQ(quiet.count_starting(R"({"reason":"x-tarnwick-progress-total")"), 0u);
}

}  // namespace
}  // namespace tarnwick
