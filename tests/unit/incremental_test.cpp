#include "runner/incremental.h"

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "base/json_text.h"
#include "child_test_support.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;

// What rustc reports when it cannot finalize a session directory (JSON-escaped).
constexpr const char* kAdvisory =
    "error finalizing incremental compilation session directory "
    "`C:\\\\w\\\\target\\\\debug\\\\incremental\\\\app-1x\\\\s-h2-working`: Access is denied. (os "
    "error 5)";

std::string compiler_message(const std::string& level, const std::string& message,
                             const std::string& rendered) {
  return fmt::format(
      R"({{"reason":"compiler-message","package_id":"app 0.1.0","target":{{"name":"app"}},)"
      R"("message":{{"message":"{}","code":null,"level":"{}","spans":[],"children":[],"rendered":"{}"}}}})",
      message, level, rendered);
}

std::string sorted_message(const std::string& level, const std::string& message,
                           const std::string& rendered) {
  return fmt::format(
      R"({{"message":{{"children":[],"code":null,"level":"{}","message":"{}","rendered":"{}","spans":[]}},)"
      R"("package_id":"app 0.1.0","reason":"compiler-message","target":{{"name":"app"}}}})",
      level, message, rendered);
}

TEST(DemoteFinalizeAdvisory, TurnsTheAdvisoryIntoANote) {
  auto error = demote_finalize_advisory(
      compiler_message("error", kAdvisory, fmt::format("error: {}\\n", kAdvisory)));
  EXPECT_EQ(error, sorted_message("note", kAdvisory, fmt::format("note: {}\\n", kAdvisory)));

  // Only the first "error: " of the rendered text changes.
  auto twice = demote_finalize_advisory(compiler_message(
      "error", kAdvisory, fmt::format("error: {}\\n\\nerror: aborting\\n", kAdvisory)));
  EXPECT_EQ(twice, sorted_message("note", kAdvisory,
                                  fmt::format("note: {}\\n\\nerror: aborting\\n", kAdvisory)));

  auto warning = demote_finalize_advisory(
      compiler_message("warning", kAdvisory, fmt::format("warning: {}\\nerror: x\\n", kAdvisory)));
  EXPECT_EQ(warning,
            sorted_message("note", kAdvisory, fmt::format("note: {}\\nerror: x\\n", kAdvisory)));
}

TEST(DemoteFinalizeAdvisory, LeavesEverythingElseAlone) {
  // Another error, even one whose rendered text mentions finalizing.
  EXPECT_FALSE(demote_finalize_advisory(
      compiler_message("error", "mismatched types", "error: mismatched types (finalizing later)")));
  // The advisory as a note already, or a help.
  EXPECT_FALSE(demote_finalize_advisory(compiler_message("note", kAdvisory, "note: x")));
  EXPECT_FALSE(demote_finalize_advisory(compiler_message("help", kAdvisory, "help: x")));
  // Not JSON, or not a compiler message.
  EXPECT_FALSE(demote_finalize_advisory("\"compiler-message\" error finalizing incremental {"));
  EXPECT_FALSE(demote_finalize_advisory(
      R"({"reason":"compiler-artifact","x":"compiler-message","message":{"level":"error","message":"finalize incremental"}})"));
  // Nesting too deep to write back out is left as it stood, not crashed on.
  std::string deep = compiler_message("error", kAdvisory, "error: x");
  deep.insert(deep.size() - 1, ",\"x\":" + std::string(200000, '[') + std::string(200000, ']'));
  EXPECT_FALSE(demote_finalize_advisory(deep));
  // A message that is not an object.
  EXPECT_FALSE(demote_finalize_advisory(
      R"({"reason":"compiler-message","message":"finalize incremental"})"));
}

TEST(RescueFinalizeAdvisory, RescuesABuildFailedOnlyByTheAdvisory) {
  std::string warning =
      compiler_message("warning", "unused variable: `x`", "warning: unused variable: `x`");
  std::string note = *demote_finalize_advisory(
      compiler_message("error", kAdvisory, fmt::format("error: {}\\n", kAdvisory)));
  std::string stdout_text = warning + "\n" + note + "\r\n" + "not json\n" +
                            R"({"reason":"build-finished","success":false})" + "\n";
  std::vector<std::string> sunk;
  ProgressSink sink = [&](std::string_view line) { sunk.emplace_back(line); };

  EXPECT_EQ(rescue_finalize_advisory(stdout_text, 101, sink), 0);
  std::string record =
      R"({"reason":"x-tarnwick-note","text":"tarnwick: build succeeded; exit 101 was caused by -D warnings )"
      R"(escalating the incremental-session finalise advisory to a hard error. The source compiled without )"
      R"(errors. See the tarnwick README for details."})";
  EXPECT_EQ(stdout_text, warning + "\n" + note + "\r\n" + "not json\n" +
                             R"({"reason":"build-finished","success":true})" + "\n" + record +
                             "\n");
  EXPECT_EQ(sunk, std::vector<std::string>{record});
}

TEST(RescueFinalizeAdvisory, KeepsRealFailures) {
  std::string note = *demote_finalize_advisory(compiler_message("error", kAdvisory, "error: x"));
  std::string failed = R"({"reason":"build-finished","success":false})";
  std::vector<std::string> sunk;
  ProgressSink sink = [&](std::string_view line) { sunk.emplace_back(line); };

  // A real error next to the advisory.
  std::string with_error = note + "\n" + compiler_message("error", "mismatched types", "error: m") +
                           "\n" + failed + "\n";
  std::string before = with_error;
  EXPECT_EQ(rescue_finalize_advisory(with_error, 101, sink), 101);
  EXPECT_EQ(with_error, before);
  // No failed-build marker: cargo never got to build.
  std::string unstarted = note + "\n";
  EXPECT_EQ(rescue_finalize_advisory(unstarted, 101, sink), 101);
  // A real error whose text is not valid UTF-8 still counts.
  std::string garbled =
      note + "\n" + compiler_message("error", "bad \xFF byte", "error: bad") + "\n" + failed + "\n";
  EXPECT_EQ(rescue_finalize_advisory(garbled, 101, sink), 101);
  // A failed build without the advisory.
  std::string plain = failed + "\n";
  EXPECT_EQ(rescue_finalize_advisory(plain, 1, sink), 1);
  EXPECT_TRUE(sunk.empty());
}

// Only cargo's first build-finished record, at a line's start, ends the
// build; what follows it (a test's output) neither rescues nor is rewritten.
TEST(RescueFinalizeAdvisory, ReadsOnlyTheBuildUpToItsRecord) {
  std::string note = *demote_finalize_advisory(compiler_message("error", kAdvisory, "error: x"));
  std::string failed = R"({"reason":"build-finished","success":false})";
  std::string succeeded = R"({"reason":"build-finished","success":true})";
  ProgressSink sink = [](std::string_view) {};
  const std::string kept[] = {
      // The build succeeded and a test printed the advisory and a failed build.
      succeeded + "\n" + note + "\n" + failed + "\n",
      note + "\n" + succeeded + "\n" + failed + "\n",
      // The advisory only after the build's record.
      failed + "\n" + note + "\n",
      // A record inside a line is no build's end.
      note + "\nwarning: app@0.1.0: " + failed + "\n",
  };
  for (std::string text : kept) {
    std::string before = text;
    EXPECT_EQ(rescue_finalize_advisory(text, 101, sink), 101) << before;
    EXPECT_EQ(text, before);
  }
  std::string rescued = note + "\r\n" + failed + "\r\n" + failed + "\n";
  EXPECT_EQ(rescue_finalize_advisory(rescued, 101, sink), 0);
  EXPECT_TRUE(rescued.starts_with(note + "\r\n" + succeeded + "\r\n" + failed + "\n")) << rescued;
}

TEST(IncrementalText, MarkAndReplace) {
  EXPECT_EQ(
      mark_build_success(
          R"(a{"reason":"build-finished","success":false}b{"reason":"build-finished","success":false})"),
      R"(a{"reason":"build-finished","success":true}b{"reason":"build-finished","success":true})");
  EXPECT_EQ(replace_first_with_note("x error: a error: b", "error: "), "x note: a error: b");
  EXPECT_EQ(replace_first_with_note("none", "error: "), "none");
}

using EnvVar = testing::EnvScope;

TEST(IncrementalTargetDir, FollowsCargosRules) {
  std::optional<std::string> cwd = "/work/app";
  {
    EnvVar env("CARGO_TARGET_DIR", std::nullopt);
    EXPECT_EQ(incremental_target_dir(cwd, std::nullopt), "/work/app/target");
    EXPECT_EQ(incremental_target_dir(cwd, std::optional<std::string>("out")), "/work/app/out");
    EXPECT_EQ(incremental_target_dir(cwd, std::optional<std::string>("/abs/t")), "/abs/t");
    EXPECT_EQ(incremental_target_dir(cwd, std::optional<std::string>("")), "/work/app/target");
  }
  {
    EnvVar env("CARGO_TARGET_DIR", "build/t");
    // Relative to the request's directory, not the server's.
    EXPECT_EQ(incremental_target_dir(cwd, std::nullopt), "/work/app/build/t");
    // An override that removes the variable means the default.
    EXPECT_EQ(incremental_target_dir(cwd, TargetDirOverride(std::in_place, std::nullopt)),
              "/work/app/target");
    EXPECT_EQ(incremental_target_dir(std::nullopt, std::nullopt),
              (fs::current_path() / "build/t").string());
  }
}

TEST(ClearStaleIncrementalSessions, RemovesSessionsAtBothLevelsWithoutFollowingLinks) {
  testing::TempDir temp;
  fs::path root = temp.path();
  fs::path work = root / "work", outside = root / "outside";
  fs::path incr = work / "target" / "debug" / "incremental";
  fs::create_directories(incr / "s-top-working" / "sub");
  std::ofstream(incr / "s-top-working" / "sub" / "dep-graph.bin") << "x";
  fs::create_directories(incr / "app-1x" / "s-crate-working");
  fs::create_directories(incr / "app-1x" / "s-done");
  fs::create_directories(incr / "app-1x" / "deeper" / "s-deep-working");
  std::ofstream(incr / "app-1x" / "s-file-working") << "a file, not a session";
  fs::create_directories(incr / "plain");
  // Links out of the target directory, at every level the clean-up looks at.
  fs::create_directories(outside / "incremental" / "s-out-working");
  fs::create_directories(outside / "s-linked-working");
  std::ofstream(outside / "precious.txt") << "keep";
  fs::create_directory_symlink(outside, work / "target" / "release");
  fs::create_directory_symlink(outside / "s-linked-working", incr / "s-link-working");
  fs::create_directory_symlink(outside, incr / "crate-link");
  fs::create_symlink(outside / "precious.txt", incr / "app-1x" / "s-crate-working" / "link.txt");
  fs::create_directory_symlink(outside, incr / "app-1x" / "s-crate-working" / "dir-link");

  std::string log;
  {
    EnvVar env("CARGO_TARGET_DIR", std::nullopt);
    testing::StdoutCapture capture;
    clear_stale_incremental_sessions(work.string(), std::nullopt);
    log = capture.finish();
  }
  EXPECT_FALSE(fs::exists(incr / "s-top-working"));
  EXPECT_FALSE(fs::exists(incr / "app-1x" / "s-crate-working"));
  EXPECT_TRUE(fs::is_directory(incr / "app-1x" / "s-done"));
  EXPECT_TRUE(fs::is_directory(incr / "app-1x" / "deeper" / "s-deep-working"));
  EXPECT_TRUE(fs::is_regular_file(incr / "app-1x" / "s-file-working"));
  EXPECT_TRUE(fs::is_directory(incr / "plain"));
  EXPECT_TRUE(fs::is_symlink(incr / "s-link-working"));
  EXPECT_TRUE(fs::is_directory(outside / "incremental" / "s-out-working"));
  EXPECT_TRUE(fs::is_directory(outside / "s-linked-working"));
  EXPECT_TRUE(fs::is_regular_file(outside / "precious.txt"));

  EXPECT_NE(log.find(fmt::format("tarnwick: removed stale incremental session directory `{}`",
                                 (incr / "s-top-working").string())),
            std::string::npos)
      << log;
  EXPECT_NE(log.find(fmt::format("tarnwick: removed stale incremental session directory `{}`",
                                 (incr / "app-1x" / "s-crate-working").string())),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find("could not remove"), std::string::npos) << log;

  // A session that cannot be removed is reported and the clean-up goes on.
  fs::create_directories(incr / "app-1x" / "s-locked-working" / "inner");
  fs::permissions(incr / "app-1x" / "s-locked-working",
                  fs::perms::owner_read | fs::perms::owner_exec);
  if (::geteuid() != 0) {
    EnvVar env("CARGO_TARGET_DIR", "target");
    testing::StdoutCapture capture;
    clear_stale_incremental_sessions(work.string(), std::nullopt);
    log = capture.finish();
    EXPECT_NE(log.find("could not remove stale incremental session directory `"), std::string::npos)
        << log;
    EXPECT_NE(log.find("Permission denied (os error 13)"), std::string::npos) << log;
  }
  fs::permissions(incr / "app-1x" / "s-locked-working", fs::perms::owner_all);
}

}  // namespace
}  // namespace tarnwick
