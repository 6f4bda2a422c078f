#include "platform/write_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

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

  /// The working directory as a call opens it when it begins.
  WorkingDir root() const { return WorkingDir::open(wd_.path()); }

  std::optional<TargetFault> fault_of(const std::string& relative) {
    auto checked = check_target_beneath(root(), relative, GetParam());
    if (auto* refused = std::get_if<TargetRefusal>(&checked)) return refused->fault;
    EXPECT_FALSE(std::holds_alternative<IoError>(checked)) << relative;
    return std::nullopt;
  }

  std::variant<uint64_t, TargetRefusal, IoError> replace(const std::string& relative,
                                                         std::string_view text) {
    auto opened = open_replacement_beneath(root(), relative, GetParam());
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
  auto opened = open_replacement_beneath(root(), "late.txt", GetParam());
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
    auto opened = open_replacement_beneath(root(), "sub/report.txt", GetParam());
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
  auto opened = open_replacement_beneath(root(), "sub/out.json", GetParam());
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

// The root is the folder opened when the call began: once its path names
// another folder (moved away and replaced by a link, or a link re-pointed)
// nothing is written, not even by a file that waited in a folder carried
// along to the new place.
TEST_P(Beneath, ARootWhosePathNamesAnotherFolderTakesNoWrite) {
  const WorkingDir at_start = root();
  auto opened = open_replacement_beneath(at_start, "sub/out.json", GetParam());
  ASSERT_TRUE(std::holds_alternative<ReplacementFile>(opened));
  ReplacementFile& waiting = std::get<ReplacementFile>(opened);
  ASSERT_TRUE(waiting.write("new").ok());
  const std::string away = wd_.path() + ".away";
  fs::rename(wd_.path(), away);
  fs::create_directory_symlink(outside_.path(), wd_.path());
  fs::rename(away + "/sub", outside_ / "sub");

  auto committed = waiting.commit();
  ASSERT_TRUE(std::holds_alternative<TargetRefusal>(committed));
  EXPECT_EQ(std::get<TargetRefusal>(committed).fault, TargetFault::RootMoved);
  auto fault = [&](const WorkingDir& dir) -> std::optional<TargetFault> {
    auto opened = open_replacement_beneath(dir, "x", GetParam());
    auto* refused = std::get_if<TargetRefusal>(&opened);
    return refused ? std::optional(refused->fault) : std::nullopt;
  };
  EXPECT_EQ(fault(at_start), TargetFault::RootMoved);
  EXPECT_TRUE(fs::is_empty(outside_ / "sub"));
  EXPECT_FALSE(fs::exists(outside_ / "x"));
  EXPECT_FALSE(fs::exists(away + "/x"));
  fs::remove(wd_.path());
  fs::rename(away, wd_.path());

  // A root given as a link, re-pointed after the call began.
  const std::string link = wd_.path() + ".link";
  fs::create_directory_symlink(wd_.path(), link);
  const WorkingDir through_link = WorkingDir::open(link);
  EXPECT_EQ(fault(through_link), std::nullopt);
  fs::remove(link);
  fs::create_directory_symlink(outside_.path(), link);
  EXPECT_EQ(fault(through_link), TargetFault::RootMoved);
  fs::remove(link);
  EXPECT_FALSE(fs::exists(outside_ / "x"));
}

/// The name of the one new file waiting in `dir`.
std::string waiting_name(const std::string& dir) {
  for (const auto& entry : fs::directory_iterator(dir))
    if (entry.path().filename().string().starts_with(".tarnwick-")) return entry.path().filename();
  return "";
}

// Whatever can write beside the new file (a build script, the child that
// writes into it) may move it away and put its own entry under its name:
// that entry never takes the target's name, whether the target exists or
// not, nor is it removed, and a directory put at the target's name
// meanwhile stays.
TEST_P(Beneath, OnlyTheFileWrittenTakesTheTargetsName) {
  wd_.write("report.txt", "old");
  bool planted_left = false;
  auto swapped = [&](const std::string& target, const std::function<void(const fs::path&)>& plant) {
    auto opened = open_replacement_beneath(root(), target, GetParam());
    EXPECT_TRUE(std::holds_alternative<ReplacementFile>(opened));
    ReplacementFile& file = std::get<ReplacementFile>(opened);
    EXPECT_TRUE(file.write("new").ok());
    const fs::path temp = wd_ / waiting_name(wd_.path());
    plant(temp);
    auto committed = file.commit();
    planted_left = fs::exists(fs::symlink_status(temp));
    fs::remove(temp);
    auto* refused = std::get_if<TargetRefusal>(&committed);
    return refused ? std::optional(refused->fault) : std::nullopt;
  };
  using Plant = std::function<void(const fs::path&)>;
  Plant link_out = [&](const fs::path& temp) {
    fs::rename(temp, wd_ / "stolen");
    fs::create_symlink(outside_ / "secret", temp);
  };
  Plant own_file = [&](const fs::path& temp) {
    fs::rename(temp, wd_ / "stolen");
    std::ofstream(temp) << "planted";
  };
  auto removed = [](const fs::path& temp) { fs::remove(temp); };
  for (const Plant& plant : {link_out, own_file}) {
    for (const char* target : {"report.txt", "fresh.txt"}) {
      EXPECT_EQ(swapped(target, plant), TargetFault::Swapped) << target;
      EXPECT_TRUE(planted_left) << target;
      EXPECT_EQ(read_file(wd_ / "stolen"), "new");
      fs::remove(wd_ / "stolen");
    }
  }
  EXPECT_EQ(swapped("report.txt", removed), TargetFault::Swapped);
  EXPECT_EQ(swapped("fresh.txt", removed), TargetFault::Swapped);
  EXPECT_FALSE(fs::is_symlink(wd_ / "report.txt"));
  EXPECT_EQ(read_file(wd_ / "report.txt"), "old");
  EXPECT_FALSE(fs::exists(fs::symlink_status(wd_ / "fresh.txt")));
  EXPECT_EQ(swapped("report.txt",
                    [&](const fs::path&) {
                      fs::remove(wd_ / "report.txt");
                      fs::create_directory(wd_ / "report.txt");
                    }),
            TargetFault::Directory);
  EXPECT_TRUE(fs::is_directory(wd_ / "report.txt"));
  fs::remove(wd_ / "report.txt");
  std::vector<std::string> left;
  for (const auto& entry : fs::directory_iterator(wd_.path()))
    left.push_back(entry.path().filename());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"dangling", "fifo", "hard", "last", "link", "sub"}));
  expect_outside_untouched();
}

// Folders made on the way to a file that is not written go again, as far as
// the call made them and they are still empty.
TEST_P(Beneath, FoldersMadeForAFileNotWrittenAreRemoved) {
  {
    auto opened = open_replacement_beneath(root(), "made/here/m.json", GetParam());
    ASSERT_TRUE(std::holds_alternative<ReplacementFile>(opened));
    EXPECT_TRUE(fs::is_directory(wd_ / "made/here"));
  }
  EXPECT_FALSE(fs::exists(wd_ / "made"));
  {
    auto opened = open_replacement_beneath(root(), "sub/new/deeper/m.json", GetParam());
    ASSERT_TRUE(std::holds_alternative<ReplacementFile>(opened));
    wd_.write("sub/new/other.txt", "someone else's");
  }
  EXPECT_FALSE(fs::exists(wd_ / "sub/new/deeper"));
  EXPECT_EQ(read_file(wd_ / "sub/new/other.txt"), "someone else's");
  // A refused commit writes nothing either.
  auto opened = open_replacement_beneath(root(), "made/m.json", GetParam());
  ASSERT_TRUE(std::holds_alternative<ReplacementFile>(opened));
  fs::remove(fs::path(wd_ / "made") / waiting_name(wd_ / "made"));
  EXPECT_TRUE(std::holds_alternative<TargetRefusal>(std::get<ReplacementFile>(opened).commit()));
  EXPECT_FALSE(fs::exists(wd_ / "made"));
}

// The new file's name cannot be foreseen, so what is planted at names of an
// earlier pattern (pid and count) neither blocks the write nor is touched.
TEST_P(Beneath, TemporaryNamesCannotBeForeseen) {
  for (int n = 0; n < 256; ++n)
    fs::create_symlink(outside_ / "secret", wd_ / (".tarnwick-" + std::to_string(::getpid()) + "-" +
                                                   std::to_string(n) + ".tmp"));
  auto opened = open_replacement_beneath(root(), "report.txt", GetParam());
  ASSERT_TRUE(std::holds_alternative<ReplacementFile>(opened));
  std::vector<std::string> fresh;
  for (const auto& entry : fs::directory_iterator(wd_.path()))
    if (!fs::is_symlink(entry.symlink_status())) fresh.push_back(entry.path().filename());
  auto is_temp = [](const std::string& name) {
    return name.size() == 30 && name.starts_with(".tarnwick-") && name.ends_with(".tmp") &&
           name.find_first_not_of("0123456789abcdef", 10) == 26;
  };
  EXPECT_EQ(std::count_if(fresh.begin(), fresh.end(), is_temp), 1);
  ASSERT_TRUE(std::get<ReplacementFile>(opened).write("x").ok());
  EXPECT_TRUE(std::holds_alternative<uint64_t>(std::get<ReplacementFile>(opened).commit()));
  EXPECT_EQ(read_file(wd_ / "report.txt"), "x");
  expect_outside_untouched();
}

INSTANTIATE_TEST_SUITE_P(Resolutions, Beneath,
                         ::testing::Values(Resolution::Kernel, Resolution::ComponentWalk),
                         [](const auto& info) {
                           return info.param == Resolution::Kernel ? "Kernel" : "ComponentWalk";
                         });

}  // namespace
}  // namespace tarnwick::platform
