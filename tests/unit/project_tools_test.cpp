// The pure parts of the formatting and diagnostic tools, and the opener of
// files a child writes into.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "../common/temp_crate.h"
#include "platform/write_file.h"
#include "tools/diagnostic_tool.h"
#include "tools/fmt_tools.h"

namespace tarnwick {
namespace {

using testing::TempDir;

TEST(FmtFallback, RecognisesTheCommandLineLimitInAnyCase) {
  EXPECT_TRUE(is_command_line_too_long("error: Argument list too long (os error 7)"));
  EXPECT_TRUE(is_command_line_too_long("The filename or extension is too long. (OS ERROR 206)"));
  EXPECT_FALSE(is_command_line_too_long("Diff in src/lib.rs at line 1:"));
}

TEST(FmtFallback, MemberNamesFollowTheIdsInArrayOrder) {
  json packages = json::parse(R"([
    {"id": "b 0.1", "name": "b"}, {"id": "dep 1.0", "name": "dep"},
    {"id": 7, "name": "odd"}, {"id": "a 0.1", "name": "a"}, {"id": "c 0.1"},
    {"id": "a 0.2", "name": "a"}])");
  EXPECT_EQ(package_names_for_ids(packages, {"a 0.1", "b 0.1", "c 0.1", "a 0.2", "7"}),
            (std::vector<std::string>{"b", "a", "a"}));
}

TEST(ToolchainFile, NearestWinsAndTheTomlFormComesFirst) {
  TempDir root;
  root.write("rust-toolchain.toml", "[toolchain]\nchannel = \"stable\"\n");
  root.write("a/b/rust-toolchain", "stable\n");
  root.write("a/b/c/keep", "");
  std::filesystem::create_directories(root / "a/b/c/rust-toolchain.toml");  // a directory
  EXPECT_EQ(find_toolchain_file(root / "a/b/c"), root / "a/b/rust-toolchain");
  EXPECT_EQ(find_toolchain_file(root / "a"), root / "rust-toolchain.toml");
  root.write("a/b/rust-toolchain.toml", "");
  EXPECT_EQ(find_toolchain_file(root / "a/b"), root / "a/b/rust-toolchain.toml");
}

}  // namespace
}  // namespace tarnwick
