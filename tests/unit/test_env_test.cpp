#include "test_select/test_env.h"

#include <gtest/gtest.h>

namespace tarnwick {
namespace {

const char* const kMetadata = R"({"packages":[{"id":"path+file:///w/app#my-app@1.2.3-beta.1+b7",
  "name":"my-app","version":"1.2.3-beta.1+b7","manifest_path":"/w/app/Cargo.toml",
  "authors":["A <a@x>","B"],"description":"desc","homepage":null,"license":"MIT",
  "rust_version":"1.60","readme":"README.md"}],"target_directory":"/w/target"})";

const char* const kBuild =
    R"({"reason":"build-script-executed","linked_paths":["native=/w/target/debug/build/x/out","/usr/lib/elsewhere"]})"
    "\n"
    R"({"reason":"compiler-artifact","package_id":"path+file:///w/app#my-app@1.2.3-beta.1+b7","target":{"name":"tool","kind":["bin"]},"profile":{"test":false},"executable":"/w/target/debug/tool"})"
    "\n"
    R"({"reason":"compiler-artifact","package_id":"path+file:///w/app#my-app@1.2.3-beta.1+b7","target":{"name":"tool","kind":["bin"]},"profile":{"test":true},"executable":"/w/target/debug/deps/tool-1"})"
    "\n";

TEST(TestRunPlace, WhatCargoGivesATestBinary) {
  auto environment =
      test_environment_from(kMetadata, kBuild, "/tc/bin/cargo", "/tc/lib/rustlib", std::nullopt);
  ASSERT_TRUE(environment.ok()) << error_text(environment.error());
  TestBinary it{"my-app", "it-case", TestTargetKind::Test, "/w/target/debug/deps/it_case-9",
                "path+file:///w/app#my-app@1.2.3-beta.1+b7"};
  auto place = test_run_place(*environment, it);
  ASSERT_TRUE(place.ok()) << error_text(place.error());
  EXPECT_EQ(place->cwd, "/w/app");
  ChildEnv& env = place->env;
  EXPECT_EQ(env["CARGO"], "/tc/bin/cargo");
  EXPECT_EQ(env["CARGO_MANIFEST_DIR"], "/w/app");
  EXPECT_EQ(env["CARGO_PKG_NAME"], "my-app");
  EXPECT_EQ(env["CARGO_PKG_VERSION_MAJOR"] + env["CARGO_PKG_VERSION_MINOR"] +
                env["CARGO_PKG_VERSION_PATCH"],
            "123");
  EXPECT_EQ(env["CARGO_PKG_VERSION_PRE"], "beta.1");
  EXPECT_EQ(env["CARGO_PKG_AUTHORS"], "A <a@x>:B");
  EXPECT_EQ(env["CARGO_PKG_HOMEPAGE"], "");
  EXPECT_EQ(env["CARGO_CRATE_NAME"], "it_case");
  EXPECT_EQ(env["CARGO_TARGET_TMPDIR"], "/w/target/tmp");
  // Only the package's own bins, and only for integration tests and benches.
  EXPECT_EQ(env["CARGO_BIN_EXE_tool"], "/w/target/debug/tool");
  EXPECT_TRUE(env.at("LD_LIBRARY_PATH")
                  .starts_with("/w/target/debug/build/x/out:/w/target/debug:/w/target/debug/"
                               "deps:/tc/lib/rustlib"))
      << env.at("LD_LIBRARY_PATH");

  it.kind = TestTargetKind::Lib;
  place = test_run_place(*environment, it);
  ASSERT_TRUE(place.ok());
  EXPECT_FALSE(place->env.contains("CARGO_BIN_EXE_tool"));
  EXPECT_FALSE(place->env.contains("CARGO_TARGET_TMPDIR"));

  // A package the metadata does not know cannot be run as cargo would.
  it.package_id = "other";
  place = test_run_place(*environment, it);
  ASSERT_FALSE(place.ok());
  EXPECT_NE(error_text(place.error()).find("does not describe package my-app"), std::string::npos);
  EXPECT_FALSE(test_environment_from("not json", "", "", "", std::nullopt).ok());
}

}  // namespace
}  // namespace tarnwick
