#include <fcntl.h>
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "busy_files.h"
#include "rm/restart_manager.h"
#include "settings.h"

extern char** environ;

namespace tarnwick {
namespace {

namespace fs = std::filesystem;

/// A `hold_file` child holding `path` open for writing until destroyed.
class HeldFile {
 public:
  explicit HeldFile(const std::string& path) {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    std::string program = std::string(TARNWICK_TEST_BIN_DIR) + "/hold_file";
    char* argv[] = {program.data(), const_cast<char*>(path.c_str()), nullptr};
    if (::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv, environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    stdin_ = in[1];
    stdout_ = out[0];
  }
  ~HeldFile() {
    if (stdin_ >= 0) ::close(stdin_);
    if (stdout_ >= 0) ::close(stdout_);
    if (pid_ > 0) ::waitpid(pid_, nullptr, 0);
  }
  pid_t pid() const { return pid_; }

  /// Waits (with a deadline) for the child's "ready" line.
  bool wait_ready() {
    std::string seen;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
      pollfd p{stdout_, POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      char buffer[64];
      ssize_t n = ::read(stdout_, buffer, sizeof buffer);
      if (n <= 0) return false;
      seen.append(buffer, static_cast<size_t>(n));
      if (seen.find("ready\n") != std::string::npos) return true;
    }
    return false;
  }

 private:
  pid_t pid_ = -1;
  int stdin_ = -1, stdout_ = -1;
};

/// Switches the holder lookup on for one test.
struct LookupOn {
  LookupOn() { set(true); }
  ~LookupOn() { set(false); }
  static void set(bool on) {
    ServerSettings settings;
    settings.unsafe_windows_rm = on;
    publish_settings(settings);
  }
};

fs::path make_temp_dir() {
  std::string pattern = (fs::temp_directory_path() / "tarnwick-holders-XXXXXX").string();
  return fs::path(::mkdtemp(pattern.data()));
}

TEST(FileHolders, NamesTheProcessOfARealTextFileBusyFailure) {
  fs::path dir = make_temp_dir();
  fs::path program = dir / "tool";
  fs::copy_file("/bin/true", program);
  fs::permissions(program, fs::perms::owner_all);

  HeldFile held(program.string());
  ASSERT_GT(held.pid(), 0);
  ASSERT_TRUE(held.wait_ready());

  // Starting a program that another process writes fails the way cargo reports it.
  pid_t pid = 0;
  std::string path = program.string();
  char* argv[] = {path.data(), nullptr};
  int code = ::posix_spawn(&pid, path.c_str(), nullptr, nullptr, argv, environ);
  ASSERT_EQ(code, ETXTBSY);
  std::string stderr_text = fmt::format(
      "error: test failed, to rerun pass `--lib`\n\nCaused by:\n"
      "  could not execute process `{}` (never executed)\n\nCaused by:\n  {} (os error {})\n",
      path, std::strerror(code), code);
  EXPECT_EQ(extract_busy_paths(stderr_text), std::vector<BusyPath>{path});

  EXPECT_TRUE(find_file_holders(stderr_text, "").empty()) << "the lookup is off by default";

  LookupOn on;
  // Named in both streams: looked up once, under standard error's spelling.
  auto list = find_file_holders(stderr_text, "error: `" + (dir / "." / "tool").string() + "` (os error 26)");
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].path, path);
  EXPECT_FALSE(list[0].error.has_value());
  ASSERT_EQ(list[0].holders.size(), 1u);
  const FileHolder& holder = list[0].holders[0];
  EXPECT_EQ(holder.pid, static_cast<uint32_t>(held.pid()));
  EXPECT_EQ(holder.app_name, "hold_file");
  EXPECT_EQ(holder.image_path, fs::canonical(std::string(TARNWICK_TEST_BIN_DIR) + "/hold_file").string());

  std::string report;
  format_busy_report(report, list);
  EXPECT_NE(report.find(fmt::format("    PID {} - hold_file (", held.pid())), std::string::npos) << report;
  fs::remove_all(dir);
}

/// The standard error of a shell command, run through the shell.
std::string shell_stderr(const std::string& command) {
  std::string text;
  FILE* pipe = ::popen((command + " 2>&1 >/dev/null").c_str(), "r");
  if (!pipe) return text;
  char buffer[4096];
  while (size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) text.append(buffer, n);
  ::pclose(pipe);
  return text;
}

std::optional<std::string> find_cargo() {
  for (const char* candidate : {std::getenv("CARGO"), std::getenv("HOME")}) {
    if (!candidate) continue;
    fs::path path = candidate;
    if (fs::is_directory(path)) path = path / ".cargo" / "bin" / "cargo";
    if (fs::is_regular_file(path)) return path.string();
  }
  return std::nullopt;
}

TEST(FileHolders, RealCargoTestOnAHeldTestBinary) {
  auto cargo = find_cargo();
  if (!cargo) GTEST_SKIP() << "cargo not installed";
  fs::path dir = make_temp_dir();
  fs::create_directories(dir / "src");
  std::ofstream(dir / "Cargo.toml")
      << "[package]\nname = \"held\"\nversion = \"0.1.0\"\nedition = \"2021\"\n";
  std::ofstream(dir / "src" / "lib.rs") << "#[test]\nfn t() {}\n";
  std::string run = fmt::format("cd '{}' && CARGO_NET_OFFLINE=true '{}' test --lib", dir.string(), *cargo);
  shell_stderr(run + " --no-run");

  std::string binary;
  for (const auto& entry : fs::directory_iterator(dir / "target" / "debug" / "deps"))
    if (entry.path().filename().string().starts_with("held-") && !entry.path().has_extension())
      binary = entry.path().string();
  ASSERT_FALSE(binary.empty());

  HeldFile held(binary);
  ASSERT_TRUE(held.wait_ready());
  std::string stderr_text = shell_stderr(run);
  ASSERT_TRUE(contains_busy_marker(stderr_text)) << stderr_text;
  EXPECT_EQ(extract_busy_paths(stderr_text), std::vector<BusyPath>{binary}) << stderr_text;

  LookupOn on;
  auto list = find_file_holders(stderr_text, "");
  ASSERT_EQ(list.size(), 1u);
  ASSERT_EQ(list[0].holders.size(), 1u);
  EXPECT_EQ(list[0].holders[0].pid, static_cast<uint32_t>(held.pid()));
  fs::remove_all(dir);
}

TEST(FileHolders, UnheldAndVanishedFilesHaveNoHolders) {
  fs::path dir = make_temp_dir();
  std::ofstream(dir / "free.o") << "x";
  LookupOn on;
  auto list = find_file_holders(fmt::format("error: `{}` and `{}` (os error 32)\n", (dir / "free.o").string(),
                                            (dir / "gone.o").string()),
                                "");
  ASSERT_EQ(list.size(), 2u);
  for (const auto& entry : list) {
    EXPECT_TRUE(entry.holders.empty()) << entry.path;
    EXPECT_FALSE(entry.error.has_value()) << entry.path;
  }
  EXPECT_TRUE(find_file_holders("error: plain failure `a/b.rs`\n", "").empty());
  fs::remove_all(dir);
}

/// A list source that answers from a script, for the protocol's corner cases.
struct ScriptedList {
  std::vector<std::pair<int, uint32_t>> answers;  // code and needed count, per call
  size_t calls = 0;
  int ended = 0;
  HolderListApi api() {
    HolderListApi api;
    api.start_session = [](platform::HolderSession** s) {
      *s = nullptr;
      return 0;
    };
    api.register_file = [](platform::HolderSession*, const std::string&) { return 0; };
    api.get_list = [this](platform::HolderSession*, uint32_t* needed, uint32_t* count,
                          platform::HolderProcess* buffer) {
      auto [code, need] = answers.at(calls++);
      *needed = need;
      if (code == 0 && buffer) {
        for (uint32_t i = 0; i < need; ++i)
          buffer[i] = {100 + i, "p" + std::to_string(i), i == 0 ? 1000u : 5u};
        *count = need;
      }
      return code;
    };
    api.end_session = [this](platform::HolderSession*) { ++ended; };
    api.image_path = [](uint32_t pid) -> std::optional<std::string> {
      if (pid == 100) return std::string("\\\\?\\c:\\bin\\p0.exe");
      return std::nullopt;  // ended before its image was read
    };
    return api;
  }
};

TEST(FileHolders, ListProtocolLimits) {
  constexpr int kMore = platform::kHolderListMoreData;
  {
    ScriptedList list{{{kMore, 65537}}};
    auto result = lookup_path_holders("a.o", "a.o", list.api());
    EXPECT_EQ(result.error, "RmGetList reported 65537 affected processes (exceeds sanity limit 65536)");
    EXPECT_EQ(list.calls, 1u);
    EXPECT_EQ(list.ended, 1);
  }
  {
    ScriptedList list{{{kMore, 3}, {kMore, 3}}};
    auto result = lookup_path_holders("a.o", "a.o", list.api());
    EXPECT_EQ(result.error,
              "RmGetList kept asking for more space without growing the request (stuck at 3 entries)");
    EXPECT_EQ(list.calls, 2u);
  }
  {
    // The list grows once between probe and fetch; the holders come back mapped.
    ScriptedList list{{{kMore, 1}, {kMore, 2}, {0, 2}}};
    auto result = lookup_path_holders("a.o", "a.o", list.api());
    EXPECT_FALSE(result.error.has_value());
    ASSERT_EQ(result.holders.size(), 2u);
    EXPECT_EQ(result.holders[0].app_type, 6);
    EXPECT_EQ(result.holders[0].image_path, "C:\\bin\\p0.exe");
    EXPECT_EQ(result.holders[1].pid, 101u);
    EXPECT_EQ(result.holders[1].app_type, 5);
    EXPECT_FALSE(result.holders[1].image_path.has_value());
  }
  {
    ScriptedList list{{{kMore, 0}}};
    auto result = lookup_path_holders("a.o", "a.o", list.api());
    EXPECT_TRUE(result.holders.empty());
    EXPECT_FALSE(result.error.has_value());
  }
  {
    ScriptedList list{{{EACCES, 0}}};
    auto result = lookup_path_holders("a.o", "a.o", list.api());
    EXPECT_EQ(result.error, "RmGetList probe failed: Permission denied (code 13)");
    EXPECT_EQ(list.ended, 1);
  }
}

TEST(FileHolders, ErrorTextsAndPathForms) {
  EXPECT_EQ(win32_api_error("RmStartSession", ENOENT),
            "RmStartSession failed: No such file or directory (code 2)");
  EXPECT_EQ(win32_api_error("RmGetList fetch", 9999),
            "RmGetList fetch failed: code 9999 (no system message)");
  EXPECT_EQ(simplify_windows_path("\\\\?\\c:\\a\\.\\b"), "C:\\a\\.\\b");
  EXPECT_EQ(simplify_windows_path("\\\\?\\UNC\\srv\\share\\d\\f.o"), "\\\\srv\\share\\d\\f.o");
  EXPECT_EQ(simplify_windows_path("\\\\?\\GLOBALROOT\\x"), "\\\\?\\GLOBALROOT\\x");
  EXPECT_EQ(simplify_windows_path("/tmp/a.o"), "/tmp/a.o");
  EXPECT_EQ(simplify_windows_path("C:\\a"), "C:\\a");
}

}  // namespace
}  // namespace tarnwick
