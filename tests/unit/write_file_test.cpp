#include "platform/write_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "../common/temp_crate.h"

namespace tarnwick::platform {
namespace {

namespace fs = std::filesystem;
using tarnwick::testing::read_file;
using tarnwick::testing::TempDir;

/// A working directory whose entries lead outside it in every way a link
/// can, beside an outside directory that must stay as it was.
class Beneath : public ::testing::TestWithParam<Resolution> {
 protected:
  void SetUp() override {
    outside_.write("secret", "outside");
    fs::create_directory(wd_ / "sub");
    fs::create_directory_symlink(outside_.path(), wd_ / "link");
    fs::create_symlink(outside_ / "secret", wd_ / "last");
    fs::create_symlink(outside_ / "created", wd_ / "dangling");
    fs::create_hard_link(outside_ / "secret", wd_ / "hard");
    ASSERT_EQ(::mkfifo((wd_ / "fifo").c_str(), 0600), 0);
  }

  std::optional<TargetFault> fault_of(const std::string& relative) {
    auto checked = check_target_beneath(wd_.path(), relative, GetParam());
    if (auto* refused = std::get_if<TargetRefusal>(&checked)) return refused->fault;
    EXPECT_FALSE(std::holds_alternative<IoError>(checked)) << relative;
    return std::nullopt;
  }

  std::variant<uint64_t, TargetRefusal, IoError> replace(const std::string& relative,
                                                         std::string_view text) {
    auto opened = open_replacement_beneath(wd_.path(), relative, GetParam());
    if (auto* refused = std::get_if<TargetRefusal>(&opened)) return *refused;
    if (auto* failed = std::get_if<IoError>(&opened)) return *failed;
    ReplacementFile& file = std::get<ReplacementFile>(opened);
    EXPECT_TRUE(file.write(text).ok());
    return file.commit();
  }

  void expect_outside_untouched() {
    EXPECT_EQ(read_file(outside_ / "secret"), "outside");
    EXPECT_EQ(std::distance(fs::directory_iterator(outside_.path()), fs::directory_iterator()), 1);
  }

  TempDir wd_{"tarnwick-wd"};
  TempDir outside_{"tarnwick-outside"};
};

TEST_P(Beneath, LinksOutAreRefusedAndOtherKindsNeverOpened) {
  EXPECT_EQ(fault_of("link/x.txt"), TargetFault::SymbolicLink);
  EXPECT_EQ(fault_of("last"), TargetFault::SymbolicLink);
  EXPECT_EQ(fault_of("dangling"), TargetFault::SymbolicLink);
  EXPECT_EQ(fault_of("fifo"), TargetFault::NotRegularFile);  // would block in open
  EXPECT_EQ(fault_of("sub"), TargetFault::Directory);
  EXPECT_EQ(fault_of("newname/."), TargetFault::Directory);
  EXPECT_EQ(fault_of("sub/"), TargetFault::Directory);
  EXPECT_EQ(fault_of("hard/x"), TargetFault::ParentMissing);  // a file in a folder's place
  EXPECT_EQ(fault_of("hard/new/x"), TargetFault::ParentMissing);
  EXPECT_EQ(fault_of("link/new/x"), TargetFault::SymbolicLink);
  EXPECT_EQ(fault_of("sub/../../x"), TargetFault::LeavesRoot);
  EXPECT_EQ(fault_of("./sub/./new.txt"), std::nullopt);
  EXPECT_EQ(fault_of("hard"), std::nullopt);

  for (const char* escape : {"link/x.txt", "last", "dangling", "fifo"})
    EXPECT_TRUE(std::holds_alternative<TargetRefusal>(replace(escape, "inside"))) << escape;
  expect_outside_untouched();
}

TEST_P(Beneath, AHardLinkIsReplacedNotWrittenThrough) {
  auto size = replace("hard", "new text");
  ASSERT_TRUE(std::holds_alternative<uint64_t>(size));
  EXPECT_EQ(std::get<uint64_t>(size), 8u);
  EXPECT_EQ(read_file(wd_ / "hard"), "new text");
  expect_outside_untouched();
}

TEST_P(Beneath, ALinkPlantedAfterTheCheckIsNeverFollowed) {
  // Checked while `sub` is a directory, then swapped for a link out.
  EXPECT_EQ(fault_of("sub/out.txt"), std::nullopt);
  fs::rename(wd_ / "sub", wd_ / "sub.real");
  fs::create_directory_symlink(outside_.path(), wd_ / "sub");
  auto refused = replace("sub/out.txt", "x");
  ASSERT_TRUE(std::holds_alternative<TargetRefusal>(refused));
  EXPECT_EQ(std::get<TargetRefusal>(refused).fault, TargetFault::SymbolicLink);

  // Planted at the name while the new file is being written: the rename
  // replaces the link itself.
  auto opened = open_replacement_beneath(wd_.path(), "late.txt", GetParam());
  ASSERT_TRUE(std::holds_alternative<ReplacementFile>(opened));
  ReplacementFile& file = std::get<ReplacementFile>(opened);
  ASSERT_TRUE(file.write("late").ok());
  fs::create_symlink(outside_ / "secret", wd_ / "late.txt");
  ASSERT_TRUE(std::holds_alternative<uint64_t>(file.commit()));
  EXPECT_FALSE(fs::is_symlink(wd_ / "late.txt"));
  EXPECT_EQ(read_file(wd_ / "late.txt"), "late");
  expect_outside_untouched();
}

TEST_P(Beneath, ReadersSeeTheOldFileUntilCommitAndNoTempFileStays) {
  wd_.write("sub/report.txt", "old");
  {
    auto opened = open_replacement_beneath(wd_.path(), "sub/report.txt", GetParam());
    ASSERT_TRUE(std::holds_alternative<ReplacementFile>(opened));
    ReplacementFile& file = std::get<ReplacementFile>(opened);
    ASSERT_TRUE(file.write("half").ok());
    EXPECT_EQ(read_file(wd_ / "sub/report.txt"), "old");
    // Dropped without commit: the target stays, the new file goes.
  }
  EXPECT_EQ(read_file(wd_ / "sub/report.txt"), "old");
  EXPECT_EQ(std::distance(fs::directory_iterator(wd_ / "sub"), fs::directory_iterator()), 1);

  ASSERT_TRUE(std::holds_alternative<uint64_t>(replace("sub/report.txt", "new")));
  EXPECT_EQ(read_file(wd_ / "sub/report.txt"), "new");
  EXPECT_EQ(std::distance(fs::directory_iterator(wd_ / "sub"), fs::directory_iterator()), 1);
}

// Folders that do not exist yet pass the check and are made by the write,
// each beneath the one before; the other refusals stand on the way.
TEST_P(Beneath, MissingFoldersAreCreatedBeneathTheRoot) {
  EXPECT_EQ(fault_of("target/run/x.ndjson"), std::nullopt);
  EXPECT_FALSE(fs::exists(wd_ / "target"));
  auto size = replace("target/run/x.ndjson", "full");
  ASSERT_TRUE(std::holds_alternative<uint64_t>(size));
  EXPECT_EQ(read_file(wd_ / "target/run/x.ndjson"), "full");

  for (const char* refused : {"link/new/x", "hard/new/x", "new/../x"})
    EXPECT_TRUE(std::holds_alternative<TargetRefusal>(replace(refused, "x"))) << refused;
  EXPECT_FALSE(fs::exists(wd_ / "new"));
  expect_outside_untouched();
}

// The new file waits in its folder while cargo runs; a folder moved away
// meanwhile keeps neither the new file nor a stray copy, and an earlier
// file at the path stays as it was.
TEST_P(Beneath, AFolderMovedBeforeTheCommitIsRefused) {
  wd_.write("sub/out.json", "earlier");
  auto opened = open_replacement_beneath(wd_.path(), "sub/out.json", GetParam());
  ASSERT_TRUE(std::holds_alternative<ReplacementFile>(opened));
  ReplacementFile& file = std::get<ReplacementFile>(opened);
  ASSERT_TRUE(file.write("new").ok());
  fs::rename(wd_ / "sub", outside_ / "moved");
  fs::create_directory(wd_ / "sub");
  wd_.write("sub/out.json", "earlier");

  auto committed = file.commit();
  ASSERT_TRUE(std::holds_alternative<TargetRefusal>(committed));
  EXPECT_EQ(std::get<TargetRefusal>(committed).fault, TargetFault::Moved);
  EXPECT_EQ(read_file(wd_ / "sub/out.json"), "earlier");
  EXPECT_EQ(read_file(outside_ / "moved/out.json"), "earlier");
  EXPECT_EQ(std::distance(fs::directory_iterator(outside_ / "moved"), fs::directory_iterator()), 1);
}

INSTANTIATE_TEST_SUITE_P(Resolutions, Beneath,
                         ::testing::Values(Resolution::Kernel, Resolution::ComponentWalk),
                         [](const auto& info) {
                           return info.param == Resolution::Kernel ? "Kernel" : "ComponentWalk";
                         });

}  // namespace
}  // namespace tarnwick::platform
