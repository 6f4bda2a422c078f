#include "runner/busy_files.h"

#include <gtest/gtest.h>

#include "runner/restart_manager.h"

namespace tarnwick {
namespace {

using Paths = std::vector<BusyPath>;

TEST(ExtractBusyPaths, FindsFilesOfBusyBlocksOnly) {
  EXPECT_EQ(extract_busy_paths(""), Paths{});
  // No block start: the whole text is one block.
  EXPECT_EQ(extract_busy_paths("failed to remove `C:\\t\\a.exe`\nAccess is denied. (os error 5)\n"),
            Paths{"C:\\t\\a.exe"});
  // A warning block without marker, then a busy error block.
  EXPECT_EQ(extract_busy_paths("warning: unused `src/lib.rs`\n"
                               "error: failed to link `target/debug/app.exe`\n"
                               "Access is denied. (os error 5)\n"),
            Paths{"target/debug/app.exe"});
  // A busy line before the first block start belongs to no block.
  EXPECT_EQ(extract_busy_paths("`pre/busy.rs` being used by another process\n"
                               "error: plain failure `x/y.rs`\n"),
            Paths{});
  // Candidates without "/", "\" or "." are dropped; a bare file name is kept.
  EXPECT_EQ(extract_busy_paths("error: `--lib` `deps` `app.pdb` (os error 32)\n"),
            Paths{"app.pdb"});
  // Markers are matched exactly, letter case included.
  EXPECT_EQ(extract_busy_paths("error: `a/b` SHARING VIOLATION\n"), Paths{});
}

TEST(ExtractBusyPaths, QuotedPathsAndDuplicates) {
  // Doubled backslashes become one; several quoted paths on one line.
  EXPECT_EQ(
      extract_busy_paths(R"(error: at path "C:\\t\\x.rlib" and at path "D:\\y.o" (os error 32))"),
      (Paths{"C:\\t\\x.rlib", "D:\\y.o"}));
  EXPECT_EQ(extract_busy_paths(R"(error: at path "a\\\\b.o" (os error 32))"), Paths{"a\\\\b.o"});
  // An unclosed backtick does not stop the quoted-path search.
  EXPECT_EQ(extract_busy_paths(R"(error: `open at path "C:\\q.exe" (os error 32))"),
            Paths{"C:\\q.exe"});
  // One file in two spellings is listed once, where it first appeared.
  EXPECT_EQ(
      extract_busy_paths("error: `c:/t/debug//a.exe` and at path \"C:\\\\t\\\\debug\\\\a.exe\" "
                         "and `other/b.exe` (os error 32)\n"),
      (Paths{"c:/t/debug//a.exe", "other/b.exe"}));
}

TEST(ExtractBusyPaths, ReadsMessageTextsOfJsonRecords) {
  std::string text =
      R"({"reason":"compiler-message","message":{"rendered":"error: could not write `t/a.rmeta`: Access is denied. (os error 5)\n","message":"x"}})"
      "\n"
      R"({"reason":"build-finished","success":false})"
      "\n"
      R"(  {"rendered":"error: `t/top.o` being used by another process"})"
      "\n"
      R"({"message":"error: `t/str.o` sharing violation"})"
      "\n"
      "{not json `t/raw.o` (os error 32)\n";
  EXPECT_EQ(extract_busy_paths(text), (Paths{"t/a.rmeta", "t/top.o", "t/str.o", "t/raw.o"}));
}

TEST(ExtractBusyPaths, LinuxTextFileBusyFromCargo) {
  // What cargo prints when a test binary is held open for writing elsewhere.
  std::string text =
      "    Finished `test` profile [unoptimized + debuginfo] target(s) in 0.01s\n"
      "     Running unittests src/lib.rs (target/debug/deps/c-d4fd4905425e6bfe)\n"
      "error: test failed, to rerun pass `--lib`\n\nCaused by:\n"
      "  could not execute process `/tmp/etx/c/target/debug/deps/c-d4fd4905425e6bfe` (never "
      "executed)\n"
      "\nCaused by:\n  Text file busy (os error 26)\n";
  EXPECT_EQ(extract_busy_paths(text), Paths{"/tmp/etx/c/target/debug/deps/c-d4fd4905425e6bfe"});
}

TEST(BusyPathKey, ComparesAsWindowsPaths) {
  EXPECT_EQ(busy_path_key("C:/a/b"), busy_path_key("c:\\a\\\\b\\"));
  EXPECT_EQ(busy_path_key("a/./b"), busy_path_key("a/b"));
  EXPECT_NE(busy_path_key("./a"), busy_path_key("a"));
  EXPECT_NE(busy_path_key("C:/A/b"), busy_path_key("C:/a/b"));
  EXPECT_NE(busy_path_key("C:a"), busy_path_key("C:\\a"));
  EXPECT_NE(busy_path_key("/a/b"), busy_path_key("a/b"));
  EXPECT_EQ(busy_path_key("\\\\srv\\share\\x"), busy_path_key("//srv/share/x"));
  // The root that a share or verbatim prefix carries is the same root when written out.
  EXPECT_EQ(busy_path_key("\\\\srv\\share\\\\x"), busy_path_key("\\\\srv\\share\\x"));
  EXPECT_EQ(busy_path_key("\\\\?\\UNC\\srv\\share\\\\x"),
            busy_path_key("\\\\?\\UNC\\srv\\share\\x"));
  EXPECT_NE(busy_path_key("\\\\?\\C:\\x"), busy_path_key("C:\\x"));
  // After the verbatim prefix only "\" separates.
  EXPECT_NE(busy_path_key("\\\\?\\C:\\a/b"), busy_path_key("\\\\?\\C:\\a\\b"));
}

TEST(BusyReport, AppendsAfterAnEmptyLine) {
  std::vector<PathHolders> list = {
      {"t/a.exe",
       {{12, "av.exe", "C:\\av\\av.exe", 3}, {7, "shell", std::nullopt, 6}},
       std::nullopt},
      {"t/b.exe", {}, std::nullopt},
      {"t/c.exe", {}, "RmGetList fetch failed: code 9 (no system message)"},
      {"t/d.exe", {{8, "odd", std::nullopt, 9}}, std::nullopt},
  };
  std::string target = "cargo failed";
  format_busy_report(target, list);
  EXPECT_EQ(target,
            "cargo failed\n\n"
            "tarnwick: 4 file(s) reported in use by other processes:\n"
            "  t/a.exe\n"
            "    PID 12 - av.exe (C:\\av\\av.exe) [service]\n"
            "    PID 7 - shell [critical system process]\n"
            "  t/b.exe\n"
            "    (no current holders - likely a transient AV / indexer scan)\n"
            "  t/c.exe\n"
            "    (Restart Manager: RmGetList fetch failed: code 9 (no system message))\n"
            "  t/d.exe\n"
            "    PID 8 - odd [unknown]\n");

  std::string ended = "x\n", empty;
  format_busy_report(ended, {{"p.o", {}, std::nullopt}});
  format_busy_report(empty, {});
  EXPECT_TRUE(ended.starts_with("x\n\ntarnwick: 1 file(s)"));
  EXPECT_EQ(empty, "\n\ntarnwick: 0 file(s) reported in use by other processes:\n");
}

}  // namespace
}  // namespace tarnwick
