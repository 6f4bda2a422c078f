#include "test_select/enumerate.h"

#include <gtest/gtest.h>

namespace tarnwick {
namespace {

std::string artifact(const std::string& kinds, bool test_profile, const std::string& executable,
                     const std::string& id = "path+file:///w/app#0.1.0") {
  return R"({"reason":"compiler-artifact","package_id":")" + id +
         R"(","manifest_path":"/w/app/Cargo.toml","target":{"name":"app","kind":[)" + kinds +
         R"(],"doctest":true},"profile":{"test":)" + (test_profile ? "true" : "false") +
         R"(},"executable":)" + executable + "}\n";
}

TEST(ParseTestArtifacts, KeepsOnlyTestBinariesInOrder) {
  std::string out = artifact(R"("cdylib","rlib")", true, R"("/t/app-1")") +
                    artifact(R"("custom-build")", true, R"("/t/build")") +
                    artifact(R"("lib")", false, R"("/t/not-a-test")") +
                    artifact(R"("lib")", true, "null") + "not json\n" +
                    R"({"reason":"build-finished","success":true})"
                    "\n" +
                    artifact(R"("test")", true, R"("/t/it-2")") +
                    artifact(R"("lib")", true, R"("/t/noname")", "path+file:///w/#0.1.0");
  auto binaries = parse_test_artifacts(out);
  ASSERT_EQ(binaries.size(), 2u);
  EXPECT_EQ(binaries[0].kind, TestTargetKind::Lib);
  EXPECT_EQ(binaries[0].package, "app");
  EXPECT_EQ(binaries[0].executable, "/t/app-1");
  EXPECT_TRUE(binaries[0].has_doctests);
  EXPECT_EQ(binaries[1].kind, TestTargetKind::Test);
  EXPECT_FALSE(binaries[1].has_doctests);
  EXPECT_EQ(cargo_target_selector(binaries[0]), std::vector<std::string>{"--lib"});
  EXPECT_EQ(cargo_target_selector(binaries[1]), (std::vector<std::string>{"--test", "app"}));
}

TEST(PackageNameFromId, EveryIdForm) {
  EXPECT_EQ(package_name_from_id("path+file:///w/app#0.1.0"), "app");
  EXPECT_EQ(
      package_name_from_id("registry+https://github.com/rust-lang/crates.io-index#serde@1.0.0"),
      "serde");
  EXPECT_EQ(package_name_from_id("path+file:///w/dir#app@0.1.0"), "app");
  EXPECT_EQ(package_name_from_id("app 0.1.0 (path+file:///w/app)"), "app");
  EXPECT_EQ(package_name_from_id("path+file:///w/#0.1.0"), "");
  EXPECT_EQ(package_name_from_id(" app 0.1.0"), "");
  EXPECT_EQ(package_name_from_id("#@1.0"), "");
}

}  // namespace
}  // namespace tarnwick
