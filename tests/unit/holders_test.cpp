#include <fmt/format.h>
#include <gtest/gtest.h>
#include <spawn.h>

#include <cstring>
#include <filesystem>

#include "invoke_test_support.h"
#include "runner/busy_files.h"
#include "runner/restart_manager.h"

extern char** environ;

namespace tarnwick {
namespace {

namespace fs = std::filesystem;
using testing::HeldFile;
using testing::TempDir;

/// Switches the holder lookup on for one scope.
ServerSettings lookup_on() {
  ServerSettings settings;
  settings.unsafe_windows_rm = true;
  return settings;
}

// The real cargo's own text-file-busy report goes through the runner in
// invoke_retry_test; this one drives the lookup directly.
TEST(FileHolders, NamesTheProcessOfARealTextFileBusyFailure) {
  TempDir dir;
  std::string path = dir / "tool";
  fs::copy_file("/bin/true", path);
  fs::permissions(path, fs::perms::owner_all);
  HeldFile held(path);
  ASSERT_TRUE(held.ready());

  // Starting a program that another process writes fails the way cargo reports it.
  pid_t pid = 0;
  char* argv[] = {path.data(), nullptr};
  int code = ::posix_spawn(&pid, path.c_str(), nullptr, nullptr, argv, environ);
  ASSERT_EQ(code, ETXTBSY);
  std::string stderr_text = fmt::format(
      "error: test failed, to rerun pass `--lib`\n\nCaused by:\n"
      "  could not execute process `{}` (never executed)\n\nCaused by:\n  {} (os error {})\n",
      path, std::strerror(code), code);
  EXPECT_EQ(extract_busy_paths(stderr_text), std::vector<BusyPath>{path});

  EXPECT_TRUE(find_file_holders(stderr_text, "").empty()) << "the lookup is off by default";

  testing::SettingsScope on(lookup_on());
  // Named in both streams: looked up once, under standard error's spelling.
  auto list = find_file_holders(stderr_text, "error: `" + (dir / "./tool") + "` (os error 26)");
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].path, path);
  EXPECT_FALSE(list[0].error.has_value());
  ASSERT_EQ(list[0].holders.size(), 1u);
  const FileHolder& holder = list[0].holders[0];
  EXPECT_EQ(holder.pid, static_cast<uint32_t>(held.pid()));
  EXPECT_EQ(holder.app_name, "hold_file");
  EXPECT_EQ(holder.image_path, testing::real_path_of(testing::test_bin("hold_file")));

  std::string report;
  format_busy_report(report, list);
  EXPECT_NE(report.find(fmt::format("    PID {} - hold_file (", held.pid())), std::string::npos)
      << report;
}

TEST(FileHolders, UnheldAndVanishedFilesHaveNoHolders) {
  TempDir dir;
  dir.write("free.o", "x");
  testing::SettingsScope on(lookup_on());
  auto list = find_file_holders(
      fmt::format("error: `{}` and `{}` (os error 32)\n", dir / "free.o", dir / "gone.o"), "");
  ASSERT_EQ(list.size(), 2u);
  for (const auto& entry : list) {
    EXPECT_TRUE(entry.holders.empty()) << entry.path;
    EXPECT_FALSE(entry.error.has_value()) << entry.path;
  }
  EXPECT_TRUE(find_file_holders("error: plain failure `a/b.rs`\n", "").empty());
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
    EXPECT_EQ(result.error,
              "RmGetList reported 65537 affected processes (exceeds sanity limit 65536)");
    EXPECT_EQ(list.calls, 1u);
    EXPECT_EQ(list.ended, 1);
  }
  {
    ScriptedList list{{{kMore, 3}, {kMore, 3}}};
    auto result = lookup_path_holders("a.o", "a.o", list.api());
    EXPECT_EQ(
        result.error,
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
