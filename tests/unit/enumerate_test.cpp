#include "test_select/enumerate.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "../common/temp_crate.h"

namespace tarnwick {
namespace {

using testing::TempDir;

std::string artifact(const std::string& kinds, bool test_profile, const std::string& executable,
                     const std::string& id = "path+file:///w/app#0.1.0") {
  return R"({"reason":"compiler-artifact","package_id":")" + id +
         R"(","manifest_path":"/w/app/Cargo.toml","target":{"name":"app","kind":[)" + kinds +
         R"(]},"profile":{"test":)" + (test_profile ? "true" : "false") + R"(},"executable":)" +
         executable + "}\n";
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
  EXPECT_EQ(binaries[0].package_id, "path+file:///w/app#0.1.0");
  EXPECT_EQ(binaries[1].kind, TestTargetKind::Test);
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

/// A stand-in test binary: a shell script answering `--list` and
/// `--list --ignored`.
std::string fake_binary(const TempDir& dir, const std::string& body) {
  std::string path = dir / "fake-test";
  dir.write("fake-test", "#!/bin/sh\n" + body);
  ::chmod(path.c_str(), 0755);
  return path;
}

TEST(ListTests, SortedUniqueNamesOfBothListings) {
  TempDir dir;
  std::string binary = fake_binary(dir, R"(if [ "$2" = "--ignored" ]; then
  echo "b::slow: test"; echo "a::also_ignored: test"
else
  echo "b::slow: test"; echo "z: test"; echo "a::name: with colon: test  "
  echo "benches::b1: benchmark"; echo ""; echo "3 tests, 1 benchmark"
fi
)");
  auto plain = list_tests_once(binary, false, std::nullopt);
  ASSERT_TRUE(plain.ok()) << error_text(plain.error());
  EXPECT_EQ(plain->names, (std::vector<std::string>{"b::slow", "z", "a::name: with colon"}));
  EXPECT_TRUE(plain->libtest);

  auto both = list_tests(binary, true, std::nullopt);
  ASSERT_TRUE(both.ok());
  EXPECT_EQ(both->names,
            (std::vector<std::string>{"a::also_ignored", "a::name: with colon", "b::slow", "z"}));

  // Without libtest's count line the names are not libtest's (harness = false).
  auto custom =
      list_tests(fake_binary(dir, "echo 'x: test'; echo '1 tests passed'\n"), false, std::nullopt);
  ASSERT_TRUE(custom.ok());
  EXPECT_EQ(custom->names, std::vector<std::string>{"x"});
  EXPECT_FALSE(custom->libtest);
  auto none =
      list_tests(fake_binary(dir, "echo; echo '0 tests, 0 benchmarks'\n"), false, std::nullopt);
  ASSERT_TRUE(none.ok());
  EXPECT_TRUE(none->names.empty());
  EXPECT_TRUE(none->libtest);
}

TEST(ListTests, NonZeroExitAndStartFailureNameTheBinary) {
  TempDir dir;
  std::string binary = fake_binary(dir, "echo '  boom  ' >&2\nexit 101\n");
  auto listed = list_tests(binary, false, std::nullopt);
  ASSERT_FALSE(listed.ok());
  EXPECT_EQ(error_text(listed.error()),
            "test binary " + binary + " exited with code 101 during --list enumeration: boom");

  listed = list_tests(dir / "missing", false, std::nullopt);
  ASSERT_FALSE(listed.ok());
  EXPECT_EQ(error_text(listed.error()), "failed to enumerate tests via --list on " +
                                            dir / "missing" +
                                            " (No such file or directory (os error 2))");
}

}  // namespace
}  // namespace tarnwick
