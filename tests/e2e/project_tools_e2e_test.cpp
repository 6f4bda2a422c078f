// cargo_metadata, the maintenance and formatting tools and cargo_diagnostic,
// end to end with the real cargo on small workspaces without registry
// dependencies.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "../common/cargo_version.h"
#include "tools_e2e_support.h"

namespace tarnwick::e2e {
namespace {

namespace fs = std::filesystem;
using tarnwick::testing::cargo_older_than;
using tarnwick::testing::TempDir;
using Clock = std::chrono::steady_clock;

const std::string kFakeCargo = std::string(TARNWICK_TEST_BIN_DIR) + "/fake_cargo";

std::string member_manifest(const std::string& name) {
  return "[package]\nname = \"" + name + "\"\nversion = \"0.1.0\"\nedition = \"2021\"\n";
}

/// A workspace of the members `app` and `util`, each with `src/lib.rs`.
struct Workspace : TempDir {
  explicit Workspace(const std::string& app_lib = "pub fn app() {}\n",
                     const std::string& util_lib = "pub fn util() {}\n") {
    write("Cargo.toml", "[workspace]\nmembers = [\"app\", \"util\"]\nresolver = \"2\"\n");
    write("app/Cargo.toml", member_manifest("app") + "\n[dependencies]\n");
    write("util/Cargo.toml", member_manifest("util"));
    write("app/src/lib.rs", app_lib);
    write("util/src/lib.rs", util_lib);
  }
  std::string read(const std::string& relative) const {
    std::ifstream in(file(relative));
    return std::string((std::istreambuf_iterator<char>(in)), {});
  }
};

/// The log lines that report a cargo start.
std::vector<std::string> invocations(const CallAnswer& answer) {
  std::vector<std::string> out;
  for (const std::string& line : answer.log_lines())
    if (line.starts_with("tarnwick: invoking ")) out.push_back(line);
  return out;
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST(Metadata, AnswersBareJsonAndWritesFilesOnlyInsideTheWorkingDirectory) {
  Workspace ws;
  ToolServer server;
  CallAnswer plain = server.call("cargo_metadata", {{"working_dir", ws.path()}, {"no_deps", true}});
  ASSERT_FALSE(plain.is_error()) << plain.text();
  EXPECT_TRUE(plain.text().starts_with("{")) << plain.text();
  EXPECT_FALSE(contains(plain.text(), "x-tarnwick-invocation"));
  json metadata = json::parse(plain.text());
  EXPECT_EQ(metadata["workspace_members"].size(), 2u);
  ASSERT_EQ(invocations(plain).size(), 1u);
  EXPECT_TRUE(
      contains(invocations(plain)[0], R"(args=["metadata", "--format-version=1", "--no-deps"])"))
      << invocations(plain)[0];

  CallAnswer written =
      server.call("cargo_metadata", {{"working_dir", ws.path()}, {"output_file", "meta.json"}});
  ASSERT_FALSE(written.is_error()) << written.text();
  ASSERT_TRUE(fs::exists(ws / "meta.json"));
  EXPECT_EQ(written.text(), "Metadata written to meta.json (" +
                                std::to_string(fs::file_size(ws / "meta.json")) + " bytes)");
  EXPECT_FALSE(json::parse(ws.read("meta.json"), nullptr, false).is_discarded());

  const std::vector<std::pair<std::string, std::string>> refusals = {
      {"/x", "error: output_file must be a relative path; absolute paths are not permitted"},
      {"../x", "error: output_file must not contain '..' path traversal components"},
      {"Cargo.toml/x",
       "error: output_file parent directory does not exist or is not a "
       "directory: " +
           ws.path() + "/app/Cargo.toml"},
      {"out/x",
       "error: output_file must not lead through a symbolic link: " + ws.path() + "/app/out/x"}};
  fs::create_directory_symlink(ws.path(), ws / "app/out");
  for (const auto& [path, message] : refusals) {
    CallAnswer refused =
        server.call("cargo_metadata", {{"working_dir", ws.path() + "/app"}, {"output_file", path}});
    EXPECT_TRUE(refused.is_error()) << path;
    EXPECT_EQ(refused.text(), message);
    EXPECT_TRUE(invocations(refused).empty()) << path;
  }
  EXPECT_FALSE(fs::exists(ws / "x"));
}

TEST(Metadata, BrokenManifestFailsTheCallAndLeavesNoFile) {
  Workspace ws;
  ws.write("util/Cargo.toml", "[package]\nname = \n");
  ToolServer server;
  for (const json& extra : {json::object(), json{{"output_file", "meta.json"}}}) {
    json arguments = extra;
    arguments["working_dir"] = ws.path();
    CallAnswer answer = server.call("cargo_metadata", arguments);
    EXPECT_TRUE(answer.is_error());
    EXPECT_TRUE(answer.text().starts_with("error: cargo metadata failed (exit 101): error:"))
        << answer.text();
    EXPECT_TRUE(contains(answer.text(), "Cargo.toml")) << answer.text();
    EXPECT_FALSE(answer.text().ends_with("\n"));
  }
  EXPECT_FALSE(fs::exists(ws / "meta.json"));
}

TEST(Metadata, CancelledFileRunEndsPromptlyWithItsWholeTree) {
  Workspace ws;
  TempDir script;
  script.write("script", "out {\"partial\":\ntree " + script / "pids" + "\nsleep 120000\n");
  ToolServer server({{"CARGO", kFakeCargo}, {"FAKE_CARGO_DIR", script.path()}});
  server.send("cargo_metadata", {{"working_dir", ws.path()}, {"output_file", "meta.json"}});
  int id = server.next_id() - 1;

  // The stand-in, its child and its grandchild have written their ids.
  std::vector<int> pids;
  for (auto deadline = Clock::now() + std::chrono::seconds(60);
       pids.size() < 3 && Clock::now() < deadline;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    pids.clear();
    std::ifstream in(script / "pids");
    for (int pid; in >> pid;) pids.push_back(pid);
  }
  ASSERT_EQ(pids.size(), 3u) << "the stand-in never started its tree";

  std::chrono::milliseconds took{};
  CallAnswer answer = server.cancel(id, took);
  EXPECT_LT(took, std::chrono::milliseconds(1000));  // about 50 ms on an idle machine
  EXPECT_EQ(answer.text(), "Operation cancelled by client request.");
  EXPECT_TRUE(answer.is_error());
  // The group has been killed; the kernel finishes the deaths on its own time.
  EXPECT_TRUE(all_gone({pids.begin(), pids.end()})) << "a process of the tree survived";
  EXPECT_TRUE(descendants(server.process().pid()).empty());
  // cargo wrote into a file beside the target, which goes with the run.
  EXPECT_FALSE(std::filesystem::exists(ws.path() + "/meta.json"));
}

TEST(Maintenance, AddRemoveAndCleanChangeTheWorkspace) {
  Workspace ws;
  ToolServer server;
  CallAnswer added = server.call(
      "cargo_add", {{"working_dir", ws.path()}, {"dependency", "util"}, {"package", "app"}});
  ASSERT_FALSE(added.is_error()) << added.text();
  EXPECT_EQ(added.lines().at(0), json({{"argv", {"add", "util", "--package", "app"}},
                                       {"cwd", ws.path()},
                                       {"reason", "x-tarnwick-invocation"}})
                                     .dump());
  EXPECT_TRUE(
      contains(ws.read("app/Cargo.toml"), "util = { version = \"0.1.0\", path = \"../util\" }"))
      << ws.read("app/Cargo.toml");

  CallAnswer refused =
      server.call("cargo_remove", {{"working_dir", ws.path()}, {"dependency", 42}});
  EXPECT_TRUE(refused.is_error());
  EXPECT_EQ(refused.text(), "error: cargo_remove: `dependency` is required");
  EXPECT_TRUE(invocations(refused).empty());

  fs::create_directories(ws / "target/release");
  CallAnswer cleaned = server.call("cargo_clean", {{"working_dir", ws.path()}, {"release", true}});
  ASSERT_FALSE(cleaned.is_error()) << cleaned.text();
  EXPECT_TRUE(contains(cleaned.lines().at(0), R"("argv":["clean","--release"])"));
  EXPECT_FALSE(fs::exists(ws / "target/release"));

  // Last, so that an older cargo still checks the rest.
  if (cargo_older_than(66)) GTEST_SKIP() << "needs cargo >= 1.66: `cargo remove`";
  CallAnswer removed = server.call(
      "cargo_remove", {{"working_dir", ws.path()}, {"dependency", "util"}, {"package", "app"}});
  ASSERT_FALSE(removed.is_error()) << removed.text();
  EXPECT_FALSE(contains(ws.read("app/Cargo.toml"), "util")) << ws.read("app/Cargo.toml");
}

TEST(Maintenance, FixAppliesCompilerFixesAndClippyFixesInAGitRepository) {
  Workspace ws("pub fn answer() -> i32 {\n    let mut x = 1;\n    x\n}\n",
               "pub fn two() -> i32 {\n    return 2;\n}\n");
  ASSERT_EQ(std::system(("git init -q " + ws.path()).c_str()), 0);
  ToolServer server;
  CallAnswer fixed = server.call("cargo_fix", {{"working_dir", ws.path()}, {"allow_dirty", true}});
  ASSERT_FALSE(fixed.is_error()) << fixed.text();
  EXPECT_FALSE(contains(ws.read("app/src/lib.rs"), "mut")) << ws.read("app/src/lib.rs");
  EXPECT_TRUE(contains(ws.read("util/src/lib.rs"), "return"));

  CallAnswer clippy = server.call(
      "cargo_fix", {{"working_dir", ws.path()}, {"allow_dirty", true}, {"clippy", true}});
  ASSERT_FALSE(clippy.is_error()) << clippy.text();
  EXPECT_TRUE(contains(clippy.lines().at(0), R"("argv":["clippy","--fix","--allow-dirty"])"));
  EXPECT_FALSE(contains(ws.read("util/src/lib.rs"), "return")) << ws.read("util/src/lib.rs");
}

TEST(Formatting, CheckReportsDifferencesWithoutEscapesAndFallsBackPerMember) {
  Workspace ws("pub fn   app( ) {}\n", "pub fn util( )   {}\n");
  // With TERM naming a terminal, rustfmt also writes the terminfo reset
  // ESC ( B into a pipe, which the stripping keeps; without TERM it writes
  // only colour sequences.
  ToolServer server({{"TERM", std::nullopt}});
  CallAnswer check = server.call("cargo_fmt_check", {{"working_dir", ws.path()}});
  EXPECT_TRUE(check.is_error());
  EXPECT_TRUE(contains(check.text(), "Diff in")) << check.text();
  EXPECT_FALSE(contains(check.text(), "\x1b")) << check.text();
  EXPECT_FALSE(contains(check.text(), "tarnwick fmt ["));

  // A formatter that, like a system with a short command-line limit, fails
  // whenever it is given more than one file.
  ws.write("rustfmt",
           "#!/bin/sh\nn=0\nfor a in \"$@\"; do case \"$a\" in *.rs) n=$((n+1));; esac; done\n"
           "if [ \"$n\" -gt 1 ]; then echo 'error: Argument list too long (os error 7)' >&2; "
           "exit 1; fi\nexit 0\n");
  fs::permissions(ws / "rustfmt", fs::perms::owner_all);
  CallAnswer fallback = server.call(
      "cargo_fmt_check", {{"working_dir", ws.path()}, {"env", {{"RUSTFMT", ws / "rustfmt"}}}});
  EXPECT_FALSE(fallback.is_error()) << fallback.text();
  const std::string text = fallback.text();
  EXPECT_TRUE(text.starts_with(
      "tarnwick: the single workspace-wide cargo fmt --check pass exceeded the OS command-line "
      "length limit, so it was re-run per-crate across 2 workspace members.\n\ntarnwick fmt "
      "[app]:\n"))
      << text;
  EXPECT_TRUE(contains(text, "\n\ntarnwick fmt [util]:\n")) << text;
  EXPECT_TRUE(contains(text, R"("argv":["fmt","--check","--package","util"])")) << text;
  EXPECT_FALSE(contains(text, "Argument list too long")) << text;
}

TEST(Diagnostic, ReportsProgramsToolchainFileAndAMissingDirectory) {
  TempDir root;
  root.write("rust-toolchain.toml", "[toolchain]\nchannel = \"stable\"\n");
  root.write("sub/rust-toolchain", "stable\n");
  ToolServer server;
  CallAnswer answer = server.call("cargo_diagnostic", {{"working_dir", root / "sub"}});
  ASSERT_FALSE(answer.is_error()) << answer.text();
  EXPECT_TRUE(answer.text().starts_with("{\n  \"cargo\": {\n    \"path\": ")) << answer.text();
  EXPECT_FALSE(answer.text().ends_with("\n"));
  json report = json::parse(answer.text());
  EXPECT_EQ(report["toolchain_file"],
            json({{"contents", "stable\n"}, {"path", root / "sub/rust-toolchain"}}));
  EXPECT_EQ(report["working_dir"], root / "sub");
  EXPECT_EQ(report["cargo"]["version"]["exit_code"], 0) << report.dump(2);
  EXPECT_TRUE(report["cargo"]["version"]["stdout"].get<std::string>().starts_with("cargo "));
  EXPECT_EQ(report["env"].size(), 6u);
  // The server looks for rustup in CARGO_HOME's bin, else ~/.cargo/bin.
  const char* cargo_home = std::getenv("CARGO_HOME");
  std::string rustup_bin = cargo_home ? std::string(cargo_home) + "/bin"
                                      : std::string(std::getenv("HOME")) + "/.cargo/bin";
  if (fs::exists(rustup_bin + "/rustup")) {
    EXPECT_EQ(report["cargo"]["source"], "RustupProxy");
    EXPECT_EQ(report["cargo"]["step"], 2);
  }

  TempDir elsewhere;
  CallAnswer missing = server.call("cargo_diagnostic", {{"working_dir", elsewhere / "gone"}});
  ASSERT_FALSE(missing.is_error());
  json gone = json::parse(missing.text());
  json no_start = {{"error", "No such file or directory (os error 2)"}};
  EXPECT_EQ(gone["cargo"]["version"], no_start);
  EXPECT_EQ(gone["rustc"]["version"], no_start);
  EXPECT_EQ(gone["toolchain_file"], json({{"contents", nullptr}, {"path", nullptr}}));

  ToolServer pinned({{"CARGO", kFakeCargo}, {"RUSTUP_TOOLCHAIN", std::nullopt}});
  json chosen = json::parse(pinned.call("cargo_diagnostic", {{"working_dir", root.path()}}).text());
  EXPECT_EQ(chosen["cargo"]["source"], "CargoEnv");
  EXPECT_EQ(chosen["cargo"]["step"], 1);
  EXPECT_EQ(chosen["cargo"]["path"], kFakeCargo);
  EXPECT_EQ(chosen["env"]["CARGO"], kFakeCargo);
  EXPECT_EQ(chosen["env"]["RUSTUP_TOOLCHAIN"], nullptr);
  EXPECT_EQ(chosen["toolchain_file"]["path"], root / "rust-toolchain.toml");
}

}  // namespace
}  // namespace tarnwick::e2e
