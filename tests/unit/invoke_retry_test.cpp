// Retries of busy-file failures, the holder report and the call's one
// deadline, with the scripted stand-in and with the real cargo.
#include <gtest/gtest.h>

#include "invoke_test_support.h"
#include "runner/invoke.h"

namespace tarnwick {
namespace {

using namespace tarnwick::testing;
using Clock = std::chrono::steady_clock;

ServerSettings retry_settings(uint64_t delay_ms, uint32_t attempts = 3) {
  ServerSettings settings;
  settings.retry_delay_ms = delay_ms;
  settings.retry_max_attempts = attempts;
  settings.unsafe_windows_rm = true;
  return settings;
}

/// What the stand-in writes when a file it needs is held elsewhere.
std::string busy_script(const std::string& path) {
  return "err error: failed to write `" + path +
         "`\nerr \nerr Caused by:\nerr   Text file busy (os error 26)\nexit 101\n";
}

std::string holder_label(const HeldFile& held) {
  return "hold_file (" + real_path_of(test_bin("hold_file")) + ") (PID " +
         std::to_string(held.pid()) + ")";
}

TEST(RunWithRetry, BusyFailureIsRetriedAndTheSecondAttemptWins) {
  FakeCargo cargo;
  std::string held_path = cargo.path("held.bin");
  HeldFile held(held_path);
  ASSERT_TRUE(held.ready());
  cargo.script_for(1, busy_script(held_path));
  cargo.script_for(2, "out {\"reason\":\"build-finished\",\"success\":true}\nexit 0\n");
  SettingsScope settings(retry_settings(100));
  RecordingSink sink;
  RunResult result = run_cargo_with_retry(request_for(sink, {"build"}));
  ASSERT_TRUE(result.ok()) << error_text(result.error());
  EXPECT_EQ(result->exit_code, 0);
  EXPECT_EQ(result->stdout_text, "{\"reason\":\"build-finished\",\"success\":true}\n");
  EXPECT_EQ(result->stderr_text, "") << "only the last attempt's output is returned";
  EXPECT_EQ(cargo.calls().size(), 2u);
  EXPECT_EQ(sink.lines, (std::vector<std::string>{
                            "tarnwick: file held by: " + holder_label(held),
                            "tarnwick: transient file-busy error; retrying in 100ms (attempt 2/3)",
                            "{\"reason\":\"build-finished\",\"success\":true}",
                        }));
}

TEST(RunWithRetry, GiveUpReportNamesTheHoldingProcess) {
  FakeCargo cargo;
  std::string held_path = cargo.path("held.bin");
  HeldFile held(held_path);
  ASSERT_TRUE(held.ready());
  cargo.script(busy_script(held_path));
  SettingsScope settings(retry_settings(20));
  RecordingSink sink;
  RunResult result = run_cargo_with_retry(request_for(sink, {"+stable", "check"}));
  ASSERT_TRUE(result.ok()) << error_text(result.error());
  EXPECT_EQ(result->exit_code, 101);
  EXPECT_EQ(cargo.calls().size(), 3u);
  std::string report = "\ntarnwick: 1 file(s) reported in use by other processes:\n  " + held_path +
                       "\n    PID " + std::to_string(held.pid()) + " - hold_file (" +
                       real_path_of(test_bin("hold_file")) + ") [unknown]\n";
  std::string give_up =
      "tarnwick: gave up after 3 attempts on transient file-busy error; cargo last exited with "
      "code 101";
  EXPECT_EQ(result->stderr_text, "error: failed to write `" + held_path +
                                     "`\n\nCaused by:\n  Text file busy (os error 26)\n" + report +
                                     give_up + "\n");
  EXPECT_EQ(sink.count_starting("tarnwick: file held by: " + holder_label(held)), 3u);
  EXPECT_TRUE(sink.saw("tarnwick: transient file-busy error; retrying in 20ms (attempt 3/3)"));
  EXPECT_EQ(sink.lines.back(), give_up);
}

TEST(RunWithRetry, OnlyRetryableSubcommandsAreRetried) {
  FakeCargo cargo;
  cargo.script(busy_script("/nowhere/held.bin"));
  SettingsScope settings(retry_settings(1));
  for (std::vector<std::string> argv : std::vector<std::vector<std::string>>{
           {"update"}, {"nextest", "run"}, {"+stable"}, {"publish"}, {"fix"}}) {
    RecordingSink sink;
    RunResult result = run_cargo_with_retry(request_for(sink, argv));
    ASSERT_TRUE(result.ok());
    EXPECT_EQ(result->exit_code, 101);
    EXPECT_EQ(sink.count_starting("tarnwick: transient"), 0u) << argv[0];
    EXPECT_EQ(result->stderr_text.find("gave up"), std::string::npos)
        << "one attempt has no give-up message";
  }
  EXPECT_EQ(cargo.calls().size(), 5u);

  EXPECT_TRUE(is_retryable_subcommand({"+nightly", "clippy"}));
  EXPECT_TRUE(is_retryable_subcommand({"metadata"}));
  EXPECT_FALSE(is_retryable_subcommand({}));
  EXPECT_FALSE(is_retryable_subcommand({"Build"}));
}

TEST(RunWithRetry, OrdinaryFailuresAndDisabledRetriesRunOnce) {
  FakeCargo cargo;
  cargo.script("err error[E0425]: cannot find value `x` in this scope\nexit 101\n");
  SettingsScope settings(retry_settings(1));
  RecordingSink sink;
  RunResult result = run_cargo_with_retry(request_for(sink, {"build"}));
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(result->exit_code, 101);
  EXPECT_EQ(cargo.calls().size(), 1u);

  cargo.script(busy_script("/nowhere/held.bin"));
  SettingsScope zero_attempts(retry_settings(1, 0));  // counts as one
  result = run_cargo_with_retry(request_for(sink, {"build"}));
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(cargo.calls().size(), 2u);
  EXPECT_EQ(result->stderr_text.find("gave up"), std::string::npos);

  ServerSettings off = retry_settings(1);
  off.retry_on_busy = false;
  SettingsScope no_retries(off);
  result = run_cargo_with_retry(request_for(sink, {"build"}));
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(cargo.calls().size(), 3u);
  EXPECT_EQ(sink.count_starting("tarnwick: transient"), 0u);
}

TEST(RunWithRetry, OneDeadlineCoversEveryAttemptAndWait) {
  // Two quick busy failures, then an attempt that would outlast the call.
  // The budget leaves seconds of slack for a loaded machine to start all three.
  FakeCargo cargo;
  cargo.script_for(1, "sleep 200\n" + busy_script("/nowhere/held.bin"));
  cargo.script_for(2, "sleep 200\n" + busy_script("/nowhere/held.bin"));
  cargo.script_for(3, "sleep 60000\n");
  SettingsScope settings(retry_settings(100, 5));
  RecordingSink sink;
  RunRequest request = request_for(sink, {"build"});
  request.timeout = Duration::from_millis(4000);
  auto start = Clock::now();
  RunResult result = run_cargo_with_retry(request);
  double wall = seconds_since(start);
  ASSERT_FALSE(result.ok());
  ASSERT_TRUE(is_error_kind<TimeoutError>(result.error())) << error_text(result.error());
  ASSERT_EQ(cargo.calls().size(), 3u);
  // The third attempt started at least 0.6 s into the call, so a time of the
  // whole budget or more can only be the whole call's.
  double elapsed = std::get<TimeoutError>(result.error()).elapsed.as_secs_f64();
  EXPECT_GE(elapsed, 4.0) << "the whole call, not the last attempt";
  EXPECT_LE(elapsed, wall);
  EXPECT_LT(wall, 4.0 + 5.0) << "the call ends at its deadline, not the attempt's";
}

TEST(RunWithRetry, PhasedAttemptsEachGetTheWholeTimeout) {
  FakeCargo cargo;
  std::string busy_after_build =
      "out {\"reason\":\"build-finished\",\"success\":true}\nsleep 600\n" +
      busy_script("/nowhere/held.bin");
  cargo.script_for(1, busy_after_build);
  cargo.script_for(2, busy_after_build);
  cargo.script_for(3, "out {\"reason\":\"build-finished\",\"success\":true}\nsleep 60000\n");
  SettingsScope settings(retry_settings(50));
  RecordingSink sink;
  RunRequest request = request_for(sink, {"test"});
  request.timeout = Duration::from_millis(1000);
  request.phased = true;
  RunResult result = run_cargo_with_retry(request);
  ASSERT_FALSE(result.ok());
  ASSERT_TRUE(is_error_kind<TimeoutError>(result.error())) << error_text(result.error());
  double elapsed = std::get<TimeoutError>(result.error()).elapsed.as_secs_f64();
  EXPECT_GE(elapsed, 1.0);
  EXPECT_LT(elapsed, 1.4) << "the third attempt's own phase time";
  EXPECT_EQ(cargo.calls().size(), 3u);

  request.timeout = Duration{};
  result = run_cargo_with_retry(request);
  ASSERT_FALSE(result.ok());
  EXPECT_TRUE(is_error_kind<TimeoutError>(result.error()));
  EXPECT_EQ(cargo.calls().size(), 3u) << "a zero phase budget starts nothing";
}

TEST(RunWithRetry, CancellingDuringTheWaitEndsTheCallPromptly) {
  FakeCargo cargo;
  cargo.script(busy_script("/nowhere/held.bin"));
  SettingsScope settings(retry_settings(10'000));
  CancelScope cancel;
  RecordingSink sink;
  Clock::time_point cancelled_at;
  sink.on_line = [&](const std::string& line) {
    if (line.starts_with("tarnwick: transient")) {
      cancelled_at = Clock::now();
      cancel.cancel();
    }
  };
  RunResult result = run_cargo_with_retry(request_for(sink, {"build"}));
  double reaction = seconds_since(cancelled_at);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(error_text(result.error()), "Operation cancelled by client request.");
  EXPECT_LT(reaction, 0.2);
  EXPECT_EQ(cargo.calls().size(), 1u);
}

/// Builds the crate's tests and returns the test executable's path.
std::string build_test_binary(const TempCrate& crate) {
  RunRequest request;
  request.argv = {"test", "--no-run", "--message-format=json"};
  request.cwd = crate.path();
  RunResult built = run_cargo_once(request);
  if (!built.ok() || built->exit_code != 0) return "";
  const std::string key = "\"executable\":\"";
  size_t at = built->stdout_text.find(key);
  if (at == std::string::npos) return "";
  at += key.size();
  return built->stdout_text.substr(at, built->stdout_text.find('"', at) - at);
}

TEST(RunWithRetry, RealTestBinaryHeldOpenIsReportedAndRetriedUntilReleased) {
  RealCargo real;
  TempCrate crate("held", {{"src/lib.rs", "#[test]\nfn passes() {}\n"}});
  std::string binary = build_test_binary(crate);
  ASSERT_FALSE(binary.empty());
  SettingsScope settings(retry_settings(50, 2));

  {
    HeldFile held(binary);
    ASSERT_TRUE(held.ready());
    RecordingSink sink;
    RunRequest request = request_for(sink, {"test"});
    request.cwd = crate.path();
    RunResult result = run_cargo_with_retry(request);
    ASSERT_TRUE(result.ok()) << error_text(result.error());
    EXPECT_NE(result->exit_code, 0);
    EXPECT_NE(result->stderr_text.find("Text file busy (os error 26)"), std::string::npos);
    EXPECT_NE(result->stderr_text.find(
                  "tarnwick: 1 file(s) reported in use by other processes:\n  " + binary +
                  "\n    PID " + std::to_string(held.pid()) + " - hold_file ("),
              std::string::npos)
        << result->stderr_text;
    EXPECT_TRUE(
        result->stderr_text.ends_with("tarnwick: gave up after 2 attempts on transient file-busy "
                                      "error; cargo last exited with code " +
                                      std::to_string(result->exit_code) + "\n"));
    EXPECT_EQ(sink.count_starting("tarnwick: file held by: " + holder_label(held)), 2u);
  }

  HeldFile held(binary);
  ASSERT_TRUE(held.ready());
  RecordingSink sink;
  sink.on_line = [&](const std::string& line) {
    if (line.starts_with("tarnwick: transient file-busy error; retrying")) held.release();
  };
  RunRequest request = request_for(sink, {"test"});
  request.cwd = crate.path();
  RunResult result = run_cargo_with_retry(request);
  ASSERT_TRUE(result.ok()) << error_text(result.error());
  EXPECT_EQ(result->exit_code, 0) << result->stderr_text;
  EXPECT_NE(result->stdout_text.find("test passes ... ok"), std::string::npos);
  EXPECT_TRUE(sink.saw("tarnwick: transient file-busy error; retrying in 50ms (attempt 2/2)"));
}

TEST(BusyDetection, AdvisoryLinesNeverCountAsBusy) {
  EXPECT_TRUE(is_transient_busy_error(
      "error: could not write\r\nThe process cannot access the file because it is "
      "being used by another process. (os error 32)\r\n"));
  EXPECT_TRUE(is_transient_busy_error("warning: x\nAccess is denied. (os error 5)"));
  EXPECT_TRUE(is_transient_busy_error("  Text file busy (os error 26)\n"));
  EXPECT_FALSE(
      is_transient_busy_error("error finalizing incremental compilation session: Access is denied. "
                              "(os error 5)\n"));
  EXPECT_FALSE(is_transient_busy_error("failed to finalize incremental session (os error 32)"));
  EXPECT_FALSE(is_transient_busy_error("error: ACCESS IS DENIED\nerror[E0425]: nope\n"));
  EXPECT_FALSE(is_transient_busy_error(""));
}

TEST(BusyDetection, HolderSummaryNamesFourSortedLabelsAndCountsTheRest) {
  auto holder = [](uint32_t pid, std::string name,
                   std::optional<std::string> image = std::nullopt) {
    return FileHolder{pid, std::move(name), std::move(image), 5};
  };
  std::vector<PathHolders> list = {
      {"a.rlib",
       {holder(30, "zed"), holder(10, "indexer", "C:\\idx.exe"), holder(30, "zed")},
       std::nullopt},
      {"b.exe", {holder(7, "av"), holder(8, "bee"), holder(9, "cat")}, std::nullopt},
      {"c.exe", {}, std::string("RmGetList probe failed: code 5 (no system message)")},
  };
  EXPECT_EQ(holder_summary(list),
            "av (PID 7), bee (PID 8), cat (PID 9), indexer (C:\\idx.exe) (PID 10) (+1 more)");
  EXPECT_EQ(holder_summary({{"c.exe", {}, std::nullopt}}), "");
}

}  // namespace
}  // namespace tarnwick
