#include "runner/invoke.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "base/text_lines.h"
#include "invoke_test_support.h"
#include "runner/libtest_output.h"
#include "runner/records.h"

namespace tarnwick {
namespace {

using namespace tarnwick::testing;

RunRequest request_in(const std::string &cwd, std::vector<std::string> argv,
                      const RecordingSink &sink) {
  RunRequest request = request_for(sink, std::move(argv));
  request.cwd = cwd;
  return request;
}

TEST(RunCargoOnce, RealCheckStreamsEveryLineAndCollectsThem) {
  RealCargo cargo;
  TempCrate crate("fine", {{"src/lib.rs", "pub fn answer() -> u32 { 42 }\n"}});
  RecordingSink sink;
  RunResult result =
      run_cargo_once(request_in(crate.path(), {"check", "--message-format=json"}, sink));
  ASSERT_TRUE(result.ok()) << error_text(result.error());
  EXPECT_EQ(result->exit_code, 0) << result->stderr_text;
  EXPECT_NE(result->stdout_text.find("{\"reason\":\"build-finished\",\"success\":true}\n"),
            std::string::npos);
  std::string joined;
  for (const auto &line : sink.lines) joined += line + "\n";
  EXPECT_EQ(joined, result->stdout_text);
  EXPECT_NE(result->stderr_text.find("Finished"), std::string::npos);
}

TEST(RunCargoOnce, RealMissingManifestGetsTheCallerDirectoryHint) {
  RealCargo cargo;
  TempDir empty;
  RecordingSink sink;
  RunResult result = run_cargo_once(request_in(empty.path(), {"build"}, sink));
  ASSERT_TRUE(result.ok()) << error_text(result.error());
  EXPECT_EQ(result->exit_code, 101);
  EXPECT_EQ(result->stdout_text, "");
  std::string hint = "\nhint: tarnwick's effective working directory was " + empty.path() +
                     " (passed by caller). Pass `working_dir` explicitly";
  EXPECT_NE(result->stderr_text.find(hint), std::string::npos) << result->stderr_text;
  EXPECT_TRUE(result->stderr_text.ends_with("for a full toolchain/path report.\n"));
}

TEST(RunCargoOnce, MissingManifestWithoutCwdNamesTheServerDirectory) {
  FakeCargo cargo;
  cargo.script(
      "err error: could not find `Cargo.toml` in `/nowhere` or any parent directory\nexit 101\n");
  RecordingSink sink;
  RunRequest request = request_for(sink, {"build"});
  RunResult result = run_cargo_once(request);
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(result->exit_code, 101);
  EXPECT_EQ(
      result->stderr_text,
      "error: could not find `Cargo.toml` in `/nowhere` or any parent directory\n"
      "\nhint: tarnwick's effective working directory was " +
          std::filesystem::current_path().string() +
          " (default — tarnwick server's process CWD; this is almost certainly NOT your "
          "workspace). "
          "Pass `working_dir` explicitly, set to the absolute path of your workspace root (the "
          "directory containing the top-level Cargo.toml), then retry. Use the cargo_diagnostic "
          "tool "
          "for a full toolchain/path report.\n");
}

TEST(RunCargoOnce, OtherFailuresGetNoHint) {
  std::string text = "error: expected one of `;`";
  append_failure_hints(text, std::string("/w"));
  EXPECT_EQ(text, "error: expected one of `;`");
  text = "error: rustup could not choose a version of cargo to run";
  append_failure_hints(text, std::string("/w"));
  EXPECT_TRUE(text.starts_with(
      "error: rustup could not choose a version of cargo to run\n\nhint: tarnwick's "
      "effective working directory was /w (passed by caller). "));
}

/// The incremental-session advisory as cargo reports it under -D warnings.
const char *kAdvisoryLine =
    R"(out {"reason":"compiler-message","message":{"level":"error","message":"error finalizing incremental compilation session directory `/t/s-working`","rendered":"error: error finalizing incremental compilation session directory\\n"}})";

TEST(RunCargoOnce, AdvisoryIsDemotedInEveryLineAndAFailureCausedOnlyByItIsRescued) {
  FakeCargo cargo;
  cargo.script(
      std::string(kAdvisoryLine) +
      "\nout "
      "{\"reason\":\"compiler-message\",\"message\":{\"level\":\"warning\",\"message\":\"unused\"}}"
      "\nout {\"reason\":\"build-finished\",\"success\":false}\nexit 101\n");
  RecordingSink sink;
  RunRequest request = request_for(sink, {"clippy", "--message-format=json"});
  RunResult result = run_cargo_once(request);
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(result->exit_code, 0);
  const std::string demoted =
      R"({"message":{"level":"note","message":"error finalizing incremental compilation session directory `/t/s-working`","rendered":"note: error finalizing incremental compilation session directory\n"},"reason":"compiler-message"})";
  const std::string note =
      R"({"reason":"x-tarnwick-note","text":"tarnwick: build succeeded; exit 101 was caused by -D warnings escalating the incremental-session finalise advisory to a hard error. The source compiled without errors. See the tarnwick README for details."})";
  EXPECT_EQ(
      result->stdout_text,
      demoted + "\n" +
          R"({"reason":"compiler-message","message":{"level":"warning","message":"unused"}})" +
          "\n" + R"({"reason":"build-finished","success":true})" + "\n" + note + "\n");
  ASSERT_EQ(sink.lines.size(), 4u);
  EXPECT_EQ(sink.lines.front(), demoted);
  EXPECT_EQ(sink.lines.back(), note);
}

// What the watcher is shown rebuilds the collected output, demotions, the
// rescue's rewrite and a last line without a line feed included.
TEST(RunCargoOnce, TheWatcherSeesTheOutputAsCollected) {
  const std::string scripts[] = {
      std::string(kAdvisoryLine) +
          "\nout {\"reason\":\"build-finished\",\"success\":false}\nexit 101\n",
      "out a\\r\nout \nout b\\r\\nc\\r\nout d\\r\\r\n"};
  for (const std::string &script : scripts) {
    FakeCargo cargo;
    cargo.script(script);
    std::string rebuilt;
    OutputWatcher watcher = [&rebuilt](std::string_view line, size_t offset) {
      rebuilt.resize(offset);
      rebuilt.append(line).append(line_end_for(line));
    };
    RunRequest request;
    request.argv = {"check"};
    request.watcher = &watcher;
    RunResult result = run_cargo_once(request);
    ASSERT_TRUE(result.ok());
    EXPECT_EQ(rebuilt, result->stdout_text);
  }
}

// A line ending in CR CR LF keeps one CR, in the answer read while cargo
// writes as in the one made again from the collected output.
TEST(RunCargoOnce, AnswersReadAndMadeAgainCutLinesAlike) {
  const std::string finished = R"({"reason":"build-finished","success":true})";
  FakeCargo cargo;
  cargo.script("out " + finished + "\\r\\r\n");
  DiagnosticsReading reading(false);
  OutputWatcher watcher = [&reading](std::string_view line, size_t offset) {
    reading.take_line(line, offset);
  };
  RunRequest request;
  request.argv = {"check"};
  request.watcher = &watcher;
  RunResult run = run_cargo_once(request);
  ASSERT_TRUE(run.ok());
  const std::string expected = invocation_record(request.argv, std::nullopt) + finished + "\r";
  EXPECT_EQ(build_diagnostics_answer(*run, request.argv, std::nullopt, std::move(reading)).text,
            expected);
  EXPECT_EQ(build_diagnostics_result(*run, request.argv, std::nullopt), expected);
}

TEST(RunCargoOnce, RealErrorBesideTheAdvisoryKeepsTheFailure) {
  FakeCargo cargo;
  cargo.script(
      std::string(kAdvisoryLine) +
      "\nout "
      "{\"reason\":\"compiler-message\",\"message\":{\"level\":\"error\",\"message\":\"mismatched "
      "types\"}}\nout {\"reason\":\"build-finished\",\"success\":false}\nexit 101\n");
  RunRequest request;
  request.argv = {"build"};
  RunResult result = run_cargo_once(request);
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(result->exit_code, 101);
  EXPECT_NE(result->stdout_text.find("\"level\":\"note\""), std::string::npos);
  EXPECT_NE(result->stdout_text.find("{\"reason\":\"build-finished\",\"success\":false}"),
            std::string::npos);
  EXPECT_EQ(result->stdout_text.find("x-tarnwick-note"), std::string::npos);
}

// After cargo's build-finished record the lines are a test's: neither
// demoted nor read by the rescue, joined standard error or not.
TEST(RunCargoOnce, LinesAfterTheBuildAreLeftAsPrinted) {
  const std::string advisory =
      R"({"reason":"compiler-message","message":{"level":"error","message":"error finalizing incremental compilation session directory `/t/s-working`"}})";
  const std::string failed = R"({"reason":"build-finished","success":false})";
  for (bool joined : {false, true}) {
    FakeCargo cargo;
    cargo.script("out {\"reason\":\"build-finished\",\"success\":true}\nerr Running x\nout " +
                 advisory + "\nout " + failed + "\nexit 101\n");
    RecordingSink sink;
    RunRequest request = request_for(sink, {"test", "--message-format=json"});
    request.stderr_into_stdout = joined;
    RunResult result = run_cargo_once(request);
    ASSERT_TRUE(result.ok());
    EXPECT_EQ(result->exit_code, 101);
    EXPECT_NE(result->stdout_text.find("\n" + advisory + "\n" + failed + "\n"), std::string::npos)
        << result->stdout_text;
    EXPECT_TRUE(sink.saw(advisory));
  }
}

TEST(RunCargoOnce, StartFailureIsAnIoErrorBeforeAnyLine) {
  TempDir dir;
  dir.write("cargo", "not a program");  // exists, but cannot be executed
  EnvScope cargo("CARGO", dir / "cargo");
  RecordingSink sink;
  RunRequest request = request_for(sink, {"build"});
  RunResult result = run_cargo_once(request);
  ASSERT_FALSE(result.ok());
  EXPECT_TRUE(is_error_kind<IoError>(result.error())) << error_text(result.error());
  EXPECT_TRUE(sink.lines.empty());
}

TEST(RunCargoOnce, StaleSessionsAreClearedBeforeTheRunWhenAsked) {
  FakeCargo cargo;
  cargo.script("exit 0\n");
  TempDir work;
  work.write("out/debug/incremental/crate-1/s-1-working/f", "x");
  work.write("out/debug/incremental/crate-1/s-2/f", "x");
  ServerSettings settings;
  settings.clear_incr_working = true;
  SettingsScope scope(settings);
  set_env_overrides({{"CARGO_TARGET_DIR", "elsewhere"}, {"CARGO_TARGET_DIR", "out"}});
  RunRequest request;
  request.argv = {"build"};
  request.cwd = work.path();
  RunResult result = run_cargo_once(request);
  set_env_overrides({});
  ASSERT_TRUE(result.ok());
  EXPECT_FALSE(std::filesystem::exists(work / "out/debug/incremental/crate-1/s-1-working"));
  EXPECT_TRUE(std::filesystem::exists(work / "out/debug/incremental/crate-1/s-2"));
}

TEST(RunPredicates, ProgressAndBoundaryLines) {
  EXPECT_TRUE(is_libtest_progress_line("running 3 tests"));
  EXPECT_TRUE(is_libtest_progress_line("  running 1 test  "));
  EXPECT_TRUE(is_libtest_progress_line("test tests::it_works ... ok"));
  EXPECT_FALSE(is_libtest_progress_line("test slow ... "))
      << "trimmed, the marker loses its last blank";
  EXPECT_FALSE(is_libtest_progress_line("running"));
  EXPECT_FALSE(is_libtest_progress_line("running   "));
  EXPECT_FALSE(is_libtest_progress_line("test result: ok. 3 passed; 0 failed"));
  EXPECT_FALSE(is_libtest_progress_line("tests ... ok"));
  EXPECT_FALSE(is_libtest_progress_line(""));
  const std::set<std::string> names = {"tests::it_works"};
  EXPECT_TRUE(is_libtest_progress_line("test tests::it_works - should panic ... ok", &names));
  EXPECT_FALSE(is_libtest_progress_line("test tests::chatty ... ok", &names));

  EXPECT_TRUE(is_build_finished_line(R"({"reason":"build-finished","success":true})"));
  EXPECT_FALSE(is_build_finished_line(R"({"reason": "build-finished"})"));

  std::optional<SteadyInstant> shared;
  PhaseBoundary first = stamp_build_finished(shared);
  PhaseBoundary second = stamp_build_finished(shared);
  EXPECT_FALSE(first("{\"reason\":\"compiler-artifact\"}"));
  EXPECT_FALSE(shared.has_value());
  EXPECT_TRUE(first(R"({"reason":"build-finished","success":true})"));
  ASSERT_TRUE(shared.has_value());
  SteadyInstant stamped = *shared;
  EXPECT_TRUE(second(R"({"reason":"build-finished","success":true})"));
  EXPECT_EQ(*shared, stamped) << "the shared clock starts once";
}

}  // namespace
}  // namespace tarnwick
