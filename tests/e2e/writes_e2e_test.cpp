// The output file through the built server: no way a client or a build has
// of pointing it elsewhere lands a byte outside the working directory.

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>
#include <vector>

#include "tools_e2e_support.h"

namespace tarnwick::e2e {
namespace {

namespace fs = std::filesystem;
using tarnwick::testing::read_file;
using tarnwick::testing::TempCrate;
using tarnwick::testing::TempDir;

const std::string kFakeCargo = std::string(TARNWICK_TEST_BIN_DIR) + "/fake_cargo";

/// The entries of `dir`, sorted.
std::vector<std::string> entries(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

bool ran_cargo(const CallAnswer& answer) {
  for (const std::string& line : answer.log_lines())
    if (line.starts_with("tarnwick: invoking ")) return true;
  return false;
}

/// A build script that swaps `reports` for a link out while cargo runs,
/// after the output path was checked and before it is written.
std::string planting_build_script(const std::string& outside) {
  return "fn main() {\n"
         "    println!(\"cargo:rerun-if-changed=build.rs\");\n"
         "    let dir = std::path::Path::new(\"reports\");\n"
         "    if dir.is_dir() && !dir.is_symlink() {\n"
         "        std::fs::rename(\"reports\", \"reports.real\").unwrap();\n"
         "        std::os::unix::fs::symlink(\"" +
         outside + "\", \"reports\").unwrap();\n    }\n}\n";
}

TEST(OutputFileWrites, EveryEscapeIsRefusedOrContained) {
  TempDir outside("tarnwick-outside");
  outside.write("secret", "outside");
  TempCrate crate("escapes", {{"src/lib.rs", "pub fn f() {}\n"},
                              {"build.rs", planting_build_script(outside.path())},
                              {"reports/.keep", ""}});
  fs::create_directory_symlink(outside.path(), crate / "link");
  fs::create_symlink(outside / "secret", crate / "last");
  fs::create_symlink(outside / "created", crate / "dangling");
  fs::create_hard_link(outside / "secret", crate / "hard");
  ASSERT_EQ(::mkfifo((crate / "fifo").c_str(), 0600), 0);
  ToolServer server;
  auto check = [&](const std::string& output_path) {
    server.send("cargo_check", {{"working_dir", crate.path()}, {"output_path", output_path}});
    // A FIFO that was opened would hold the server here for good.
    return server.receive(std::chrono::seconds(60));
  };

  const std::string link = "output_path must not lead through a symbolic link: ";
  for (std::string escape : {"link/x.txt", "last", "dangling"}) {
    CallAnswer answer = check(escape);
    EXPECT_EQ(answer.text(), "error: " + link + crate.path() + "/" + escape);
    EXPECT_FALSE(ran_cargo(answer)) << escape;
  }
  CallAnswer fifo = check("fifo");
  EXPECT_EQ(fifo.text(),
            "error: output_path must name a regular file or a new name: " + crate.path() + "/fifo");
  CallAnswer dot = check("newname/.");
  EXPECT_EQ(dot.text(),
            "error: output_path must name a file, not a directory: " + crate.path() + "/newname/.");
  EXPECT_FALSE(ran_cargo(fifo) || ran_cargo(dot));

  CallAnswer planted = check("reports/out.jsonl");
  EXPECT_TRUE(ran_cargo(planted));
  EXPECT_EQ(planted.text(), "error: " + link + crate.path() + "/reports/out.jsonl");
  EXPECT_TRUE(fs::is_symlink(crate / "reports")) << "the build script did not plant its link";

  // A hard link's other name is replaced, not written through.
  CallAnswer hard = check("hard");
  EXPECT_FALSE(hard.is_error()) << hard.text();
  EXPECT_TRUE(read_file(crate / "hard").starts_with("{\"argv\":"));

  EXPECT_EQ(read_file(outside / "secret"), "outside");
  EXPECT_EQ(std::distance(fs::directory_iterator(outside.path()), fs::directory_iterator()), 1);
}

// The guide tells clients to write under target/, which a fresh crate
// does not have yet: the missing folders are made beneath the crate.
TEST(OutputFileWrites, TheGuidesExampleWorksOnAFreshCrate) {
  const std::string guide = read_file(TARNWICK_SOURCE_DIR "/src/tools/setup_guide.md");
  const std::string head = "{ \"output_path\": ";
  size_t at = guide.find(head);
  ASSERT_NE(at, std::string::npos) << "the guide shows no output_path example";
  const std::string output_path =
      json::parse(guide.substr(at, guide.find('}', at) + 1 - at))["output_path"];
  TempCrate crate("fresh", {{"src/lib.rs", "#[test]\nfn works() {}\n"}});
  ASSERT_FALSE(fs::exists(crate / "target"));

  ToolServer server;
  CallAnswer answer =
      server.call("cargo_test", {{"working_dir", crate.path()}, {"output_path", output_path}});
  ASSERT_FALSE(answer.is_error()) << answer.text();
  EXPECT_EQ(answer.records().at(1)["path"], crate / output_path);
  EXPECT_TRUE(read_file(crate / output_path).starts_with("{\"argv\":"));
}

// A file where a folder should be is one fault with one text, whichever
// argument names the path.
TEST(OutputFileWrites, AFileInAFoldersPlaceIsRefusedAlikeForBothArguments) {
  TempCrate crate("blocked", {{"src/lib.rs", "pub fn f() {}\n"}});
  ToolServer server;
  const std::string tail = " parent directory does not exist or is not a directory: ";
  CallAnswer check = server.call(
      "cargo_check", {{"working_dir", crate.path()}, {"output_path", "src/lib.rs/out.json"}});
  EXPECT_EQ(check.text(), "error: output_path" + tail + crate.path() + "/src/lib.rs");
  CallAnswer metadata = server.call(
      "cargo_metadata", {{"working_dir", crate.path()}, {"output_file", "src/lib.rs/new/m.json"}});
  EXPECT_EQ(metadata.text(), "error: output_file" + tail + crate.path() + "/src/lib.rs/new");
  EXPECT_FALSE(ran_cargo(check) || ran_cargo(metadata));

  CallAnswer made = server.call(
      "cargo_metadata", {{"working_dir", crate.path()}, {"output_file", "meta/deeper/m.json"}});
  EXPECT_FALSE(made.is_error()) << made.text();
  EXPECT_TRUE(read_file(crate / "meta/deeper/m.json").starts_with("{"));
}

// cargo writes the metadata into a new file in the folder the path named
// when the call began. Moved out of the working directory meanwhile, that
// folder gets nothing, and the earlier file in it stays as it was; carried
// along with a working directory replaced by a link out, it gets nothing
// either.
TEST(OutputFileWrites, MetadataWritesNothingIntoAFolderMovedDuringTheRun) {
  TempDir outside("tarnwick-outside");
  TempCrate crate("moving", {{"src/lib.rs", "pub fn f() {}\n"}, {"sub/out.json", "earlier"}});
  TempDir script;
  script.write("script", "out {\"packages\":[]}\nwait-file " + script / "go" + "\n");
  ToolServer server({{"CARGO", std::string(TARNWICK_TEST_BIN_DIR) + "/fake_cargo"},
                     {"FAKE_CARGO_DIR", script.path()}});
  // Runs cargo_metadata into sub/out.json, with `meddle` done while cargo runs.
  auto run_while = [&](size_t run, const std::function<void()>& meddle) {
    fs::remove(script / "go");
    server.send("cargo_metadata", {{"working_dir", crate.path()}, {"output_file", "sub/out.json"}});
    auto runs = [&] { return std::ranges::count(read_file(script / "calls"), '\n'); };
    for (auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
         runs() < static_cast<long>(run) && std::chrono::steady_clock::now() < deadline;)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(runs(), static_cast<long>(run)) << "cargo never started";
    meddle();
    script.write("go", "");
    return server.receive(std::chrono::seconds(60)).text();
  };

  EXPECT_EQ(run_while(1, [&] { fs::rename(crate / "sub", outside / "moved"); }),
            "error: output_file was not written: its folder was moved or replaced while the file "
            "was being written, so the path no longer names it: " +
                crate.path() + "/sub/out.json");
  EXPECT_EQ(read_file(outside / "moved/out.json"), "earlier");
  EXPECT_EQ(std::distance(fs::directory_iterator(outside / "moved"), fs::directory_iterator()), 1);
  EXPECT_FALSE(fs::exists(crate / "sub"));

  const std::string away = crate.path() + ".away";
  EXPECT_EQ(run_while(2,
                      [&] {
                        fs::rename(crate.path(), away);
                        fs::rename(away + "/sub", outside / "sub");
                        fs::create_directory_symlink(outside.path(), crate.path());
                      }),
            "error: output_file was not written: the working directory was moved or replaced "
            "while the call ran, so its path no longer names the folder the call started in: " +
                crate.path());
  EXPECT_TRUE(fs::is_empty(outside / "sub"));
  fs::remove(crate.path());
  fs::rename(away, crate.path());
}

/// A build script that swaps the working directory while cargo runs, as
/// SWAP_FROM and SWAP_TO say: a link is re-pointed to SWAP_TO, a folder is
/// renamed away and a link to SWAP_TO put in its place. It runs on every
/// build: the file it watches never exists.
const char kSwappingBuildScript[] = R"(use std::{env, fs, os::unix::fs::symlink, path::Path};
fn main() {
    println!("cargo:rerun-if-changed=never-there");
    let (from, to) = match (env::var("SWAP_FROM"), env::var("SWAP_TO")) {
        (Ok(from), Ok(to)) => (from, to),
        _ => return,
    };
    if Path::new(&from).is_symlink() {
        fs::remove_file(&from).unwrap();
    } else {
        fs::rename(&from, format!("{}.away", from)).unwrap();
    }
    symlink(&to, &from).unwrap();
}
)";

// The working directory is opened when the call begins, and the file goes
// beneath that folder or nowhere: a build that swaps the directory (or the
// link it was given as) for a way out gets the call refused, and the file
// of the same name outside keeps its content.
TEST(OutputFileWrites, AWorkingDirectorySwappedByTheBuildTakesNoWrite) {
  TempDir outside("tarnwick-outside"), target("tarnwick-target");
  outside.write("out.json", "outside");
  TempCrate crate("swapped",
                  {{"src/lib.rs", "#[test]\nfn works() {}\n"}, {"build.rs", kSwappingBuildScript}});
  const std::string link = crate.path() + ".link";
  fs::create_directory_symlink(crate.path(), link);
  ToolServer server;
  auto swapped_call = [&](const std::string& tool, const std::string& dir, json extra) {
    extra["working_dir"] = dir;
    extra["output_path"] = "out.json";
    extra["env"] = {
        {"SWAP_FROM", dir}, {"SWAP_TO", outside.path()}, {"CARGO_TARGET_DIR", target.path()}};
    CallAnswer answer = server.call(tool, extra);
    // Put everything back for the next call.
    if (fs::exists(crate.path() + ".away")) {
      fs::remove(crate.path());
      fs::rename(crate.path() + ".away", crate.path());
    } else {
      EXPECT_NE(fs::read_symlink(link), crate.path()) << tool << ": the build swapped nothing";
      fs::remove(link);
      fs::create_directory_symlink(crate.path(), link);
    }
    return answer;
  };
  const std::string refused =
      "error: output_path was not written: the working directory was moved or replaced while "
      "the call ran, so its path no longer names the folder the call started in: ";
  for (const auto& [tool, extra] :
       {std::pair{"cargo_check", json::object()}, std::pair{"cargo_doc", json::object()},
        std::pair{"cargo_test", json::object()},
        std::pair{"cargo_test", json({{"test_filter", {{"pattern", "works"}}}})},
        std::pair{"cargo_test", json({{"bisect", {{"group_timeout_secs", 30}}}})}}) {
    CallAnswer answer = swapped_call(tool, crate.path(), extra);
    EXPECT_EQ(answer.text(), refused + crate.path()) << tool << " " << extra.dump();
    EXPECT_TRUE(ran_cargo(answer));
  }
  CallAnswer through_link = swapped_call("cargo_check", link, json::object());
  EXPECT_EQ(through_link.text(), refused + link);

  EXPECT_EQ(read_file(outside / "out.json"), "outside");
  EXPECT_EQ(std::distance(fs::directory_iterator(outside.path()), fs::directory_iterator()), 1);
  EXPECT_FALSE(fs::exists(crate / "out.json"));
  fs::remove(link);
}

// cargo exits 0 when its writes into the file failed (a full disk): what
// it wrote must be one whole JSON document before it replaces the earlier
// file. Folders made for a file that is not written go again.
TEST(OutputFileWrites, MetadataCutShortReplacesNothing) {
  TempCrate dir("cut", {});
  TempDir script;
  dir.write("meta.json", "earlier");
  script.write("script.1", "out {\"packages\":[{\"name\":\"cut\n");
  script.write("script.2", "err error: could not find `Cargo.toml`\nexit 101\n");
  ToolServer server({{"CARGO", kFakeCargo}, {"FAKE_CARGO_DIR", script.path()}});
  CallAnswer cut =
      server.call("cargo_metadata", {{"working_dir", dir.path()}, {"output_file", "meta.json"}});
  EXPECT_EQ(cut.text(),
            "error: output_file was not written: the 26 bytes cargo wrote are not one whole JSON "
            "document (was the disk full, or a file-size limit reached?): " +
                dir.path() + "/meta.json");
  EXPECT_EQ(read_file(dir / "meta.json"), "earlier");
  CallAnswer failed = server.call(
      "cargo_metadata", {{"working_dir", dir.path()}, {"output_file", "made/here/m.json"}});
  EXPECT_TRUE(failed.is_error());
  EXPECT_EQ(entries(dir.path()), (std::vector<std::string>{"Cargo.toml", "meta.json"}));
}

// A process in the working directory keeps exchanging the new file's name
// with an entry of its own while calls write the target: every answer says
// what the target holds after the server's last rename, and a call that did
// not replace the earlier file leaves it in the folder, under some name.
TEST(OutputFileWrites, AnswersAgreeWithTheTargetWhileTheNewFileIsExchanged) {
  TempCrate wd("raced", {});
  TempDir script;
  const std::string document = "{\"packages\":[]}";
  script.write("script", "out " + document + "\n");
  ToolServer server({{"CARGO", kFakeCargo}, {"FAKE_CARGO_DIR", script.path()}});
  ServerOptions racing;
  racing.executable = std::string(TARNWICK_TEST_BIN_DIR) + "/exchange_temp";
  racing.args = {wd.path(), "decoy"};
  ServerProcess racer(racing);
  unsigned long exchanges = 0;
  for (int call = 0; call < 300; ++call) {
    for (const auto& entry : fs::directory_iterator(wd.path()))
      if (entry.path().filename() != "Cargo.toml") fs::remove_all(entry.path());
    const std::string old = "old " + std::to_string(call);
    wd.write("out.json", old);
    wd.write("decoy", "decoy");
    ASSERT_TRUE(racer.write_line("go"));
    ASSERT_EQ(racer.read_line(), "going");
    const bool metadata = call % 2 == 0;
    const std::string argument = metadata ? "output_file" : "output_path";
    CallAnswer answer = server.call(metadata ? "cargo_metadata" : "cargo_check",
                                    {{"working_dir", wd.path()}, {argument, "out.json"}});
    ASSERT_TRUE(racer.write_line("stop"));
    exchanges += std::stoul(racer.read_line().value_or("0"));

    std::string target = fs::is_regular_file(fs::symlink_status(wd / "out.json"))
                             ? read_file(wd / "out.json")
                             : "(no regular file)";
    bool ours = metadata ? target == document + "\n" : target.starts_with("{\"argv\":");
    ASSERT_EQ(answer.is_error(), !ours)
        << "call " << call << ": " << answer.text() << "\ntarget holds: " << target;
    if (ours) continue;
    ASSERT_EQ(answer.text(), "error: " + argument +
                                 " was not written: the new file beside it was moved or replaced "
                                 "before it could take its place: " +
                                 wd.path() + "/out.json");
    bool old_kept = false;
    for (const auto& entry : fs::directory_iterator(wd.path()))
      old_kept = old_kept || (entry.is_regular_file() && read_file(entry.path()) == old);
    ASSERT_TRUE(old_kept) << "call " << call << " deleted the earlier file";
  }
  EXPECT_GT(exchanges, 0u) << "the racer never found the new file";
}

/// A small file system mounted over a folder for the test's length; none
/// where mounting is not allowed.
class SmallDisk {
 public:
  explicit SmallDisk(const std::string& at) : at_(at) {
    fs::create_directory(at);
    if (::mount("tarnwick-test", at.c_str(), "tmpfs", 0, "size=64k") == 0) mounted_ = true;
  }
  ~SmallDisk() {
    if (mounted_) ::umount2(at_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }
  /// Fills the disk up to `left` bytes of room.
  void fill(size_t left) {
    std::FILE* filler = std::fopen((at_ + "/filler").c_str(), "ab");
    ASSERT_NE(filler, nullptr);
    std::setvbuf(filler, nullptr, _IONBF, 0);
    const std::string page(4096, 'f');
    while (std::fwrite(page.data(), 1, page.size(), filler) == page.size()) {
    }
    std::fclose(filler);
    fs::resize_file(at_ + "/filler", fs::file_size(at_ + "/filler") - left);
  }

 private:
  std::string at_;
  bool mounted_ = false;
};

// On a full disk nothing the server cannot vouch for replaces a file: cargo
// metadata's cut document is refused, the server's own failed write says
// which file and why (once, for bisection too), and the earlier files stay.
TEST(OutputFileWrites, AFullDiskKeepsTheEarlierFiles) {
  TempCrate crate("fulldisk", {{"src/lib.rs", "#[test]\nfn works() {}\n"}},
                  "\n[package.metadata.filler]\ntext = \"" + std::string(20000, 'x') + "\"\n");
  SmallDisk disk(crate / "disk");
  if (!disk.mounted()) GTEST_SKIP() << "cannot mount a small file system here (needs root)";
  const std::string wd = crate / "disk";
  std::ofstream(wd + "/meta.json") << "earlier";
  std::ofstream(wd + "/out.json") << "earlier";
  disk.fill(8192);
  ToolServer server;
  CallAnswer metadata =
      server.call("cargo_metadata", {{"working_dir", wd}, {"output_file", "meta.json"}});
  EXPECT_TRUE(metadata.text().starts_with("error: output_file was not written: the "))
      << metadata.text();
  EXPECT_TRUE(read_file(wd + "/meta.json") == "earlier");
  CallAnswer made =
      server.call("cargo_metadata", {{"working_dir", wd}, {"output_file", "made/here/m.json"}});
  EXPECT_TRUE(made.is_error()) << made.text();

  disk.fill(0);
  const std::string full = "error: output_path was not written: " + wd +
                           "/out.json: No space left on device (os error 28)";
  EXPECT_EQ(server.call("cargo_check", {{"working_dir", wd}, {"output_path", "out.json"}}).text(),
            full);
  EXPECT_EQ(server
                .call("cargo_test", {{"working_dir", wd},
                                     {"output_path", "out.json"},
                                     {"bisect", {{"group_timeout_secs", 60}}}})
                .text(),
            full);
  EXPECT_EQ(read_file(wd + "/out.json"), "earlier");
  EXPECT_EQ(entries(wd), (std::vector<std::string>{"filler", "meta.json", "out.json"}));
}

/// Lowers the file-size limit of this process, and so of the children it
/// starts, until it goes.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &saved_);
    rlimit lowered = saved_;
    lowered.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &lowered);
  }
  ~FileSizeLimit() { ::setrlimit(RLIMIT_FSIZE, &saved_); }

 private:
  rlimit saved_{};
};

// Under `ulimit -f`, a write past the limit fails as a value: the server
// answers naming the file and lives on, no new file stays, and the programs
// it starts still die of the signal as they would in a shell.
TEST(OutputFileWrites, AFileSizeLimitFailsTheWriteNotTheServer) {
  TempCrate dir("limited", {});
  TempDir script;
  std::string check, document = "out {\"packages\":[";
  for (int n = 0; n < 100; ++n) {
    check += "err warning: " + std::string(1000, 'w') + "\n";
    document += "\"" + std::string(1000, 'p') + "\",";
  }
  script.write("script.1", check + "exit 101\n");
  script.write("script.2", document + "\"\"]}\n");
  std::optional<ToolServer> started;
  {
    FileSizeLimit limit(64 * 1024);
    started.emplace(std::vector<std::pair<std::string, std::optional<std::string>>>{
        {"CARGO", kFakeCargo}, {"FAKE_CARGO_DIR", script.path()}});
  }
  ToolServer& server = *started;
  CallAnswer check_answer =
      server.call("cargo_check", {{"working_dir", dir.path()}, {"output_path", "check.json"}});
  EXPECT_EQ(check_answer.text(), "error: output_path was not written: " + dir.path() +
                                     "/check.json: File too large (os error 27): the file-size "
                                     "limit (ulimit -f) was reached");
  CallAnswer metadata = server.call(
      "cargo_metadata", {{"working_dir", dir.path()}, {"output_file", "made/here/m.json"}});
  EXPECT_TRUE(metadata.text().starts_with("error: cargo metadata failed (exit 153)"))
      << metadata.text();
  EXPECT_EQ(entries(dir.path()), std::vector<std::string>{"Cargo.toml"});
  EXPECT_TRUE(descendants(server.process().pid()).empty());
}

}  // namespace
}  // namespace tarnwick::e2e
