// The clocks and the cancellation of one cargo run, driven through the
// scripted stand-in (and, for the phase clock, the real cargo).
#include <gtest/gtest.h>

#include "invoke_test_support.h"
#include "platform/process.h"
#include "runner/invoke.h"
#include "runner/libtest_output.h"

namespace tarnwick {
namespace {

using namespace tarnwick::testing;
using Clock = std::chrono::steady_clock;

constexpr const char* kBuildFinished = "out {\"reason\":\"build-finished\",\"success\":true}\n";

double timeout_secs(const RunResult& result) {
  if (result.ok() || !is_error_kind<TimeoutError>(result.error())) {
    ADD_FAILURE() << "expected a timeout, got "
                  << (result.ok() ? "exit " + std::to_string(result->exit_code)
                                  : error_text(result.error()));
    return -1;
  }
  return std::get<TimeoutError>(result.error()).elapsed.as_secs_f64();
}

/// How long a run that must time out took, by its own report and by the wall clock.
struct TimedOut {
  double elapsed;
  double wall;
};

TimedOut run_to_timeout(const RunRequest& request) {
  auto start = Clock::now();
  RunResult result = run_cargo_with_retry(request);
  double wall = seconds_since(start);
  return {timeout_secs(result), wall};
}

std::string repeat(int times, const std::string& block) {
  std::string text;
  for (int i = 0; i < times; ++i) text += block;
  return text;
}

TEST(RunClocks, PhasedKillClockStartsAtBuildFinishedAndReportsThePhaseTime) {
  FakeCargo cargo;
  cargo.script(std::string("out {\"reason\":\"compiler-artifact\"}\nsleep 1500\n") +
               kBuildFinished + "sleep 60000\n");
  RecordingSink sink;
  RunRequest request = request_for(sink, {"test"});
  request.timeout = Duration::from_millis(1000);
  request.phased = true;
  auto [elapsed, wall] = run_to_timeout(request);
  EXPECT_GE(elapsed, 1.0);
  EXPECT_LT(elapsed, 1.5) << "the build time must not count";
  EXPECT_GE(wall, 2.5) << "the build must not be killed";
  EXPECT_EQ(sink.lines.size(), 2u);
}

TEST(RunClocks, PhasedRunWithoutBuildFinishedHasNoKillClock) {
  FakeCargo cargo;
  cargo.script("sleep 800\nout done\nexit 0\n");
  RecordingSink sink;
  RunRequest request = request_for(sink, {"test"});
  request.timeout = Duration::from_millis(200);
  request.phased = true;
  RunResult result = run_cargo_with_retry(request);
  ASSERT_TRUE(result.ok()) << error_text(result.error());
  EXPECT_EQ(result->stdout_text, "done\n");
}

TEST(RunClocks, RealPhasedTestRunIsTimedFromBuildFinishedAndItsTestProcessDies) {
  RealCargo real;
  TempDir scratch;
  std::string pid_file = scratch / "test.pid";
  TempCrate crate(
      "hangs",
      {{"src/lib.rs", "#[test]\nfn hangs() {\n    std::fs::write(\"" + pid_file +
                          "\", std::process::id().to_string()).unwrap();\n"
                          "    std::thread::sleep(std::time::Duration::from_secs(120));\n}\n"}});
  RecordingSink sink;
  RunRequest request = request_for(sink, {"test", "--message-format=json"});
  request.cwd = crate.path();
  request.timeout = Duration::from_millis(1500);
  request.phased = true;
  auto [elapsed, wall] = run_to_timeout(request);
  EXPECT_GE(elapsed, 1.5);
  EXPECT_LT(elapsed, 2.2);
  EXPECT_GT(wall, elapsed) << "the build ran before the clock started";
  EXPECT_GE(sink.count_starting("{\"reason\":\"build-finished\""), 1u);
  std::vector<int> pids = read_pids(pid_file);
  ASSERT_EQ(pids.size(), 1u);
  EXPECT_TRUE(wait_until([&] { return !platform::process_alive(pids[0]); }));
}

TEST(RunClocks, WatchdogIsRearmedOnlyByTestProgressAfterTheBoundary) {
  FakeCargo cargo;
  // Progress lines before the boundary would outlast the idle budget if they counted.
  cargo.script(repeat(4, "sleep 300\nout test early ... ok\n") + kBuildFinished +
               repeat(5, "sleep 300\nout test t::a ... ok\n") +
               repeat(8, "sleep 150\nout test result: ok. 1 passed\nout running\n") +
               "sleep 60000\n");
  RecordingSink sink;
  RunClocks clocks;
  clocks.idle_timeout = Duration::from_millis(800);
  clocks.phase_boundary = is_build_finished_line;
  clocks.idle_restart = [](std::string_view line) { return is_libtest_progress_line(line); };
  auto start = Clock::now();
  RunResult result = run_cargo_once(request_for(sink, {"test"}), clocks);
  double wall = seconds_since(start);
  double elapsed = timeout_secs(result);
  EXPECT_GE(elapsed, 0.8);
  EXPECT_LT(elapsed, 1.2) << "measured from the last progress line";
  EXPECT_GE(wall, 1.2 + 1.5 + 0.8);
  EXPECT_EQ(sink.count_starting("test t::a"), 5u);
}

TEST(RunClocks, IdleClockWithoutWatchdogIsAFixedCapFromTheBoundary) {
  FakeCargo cargo;
  cargo.script(std::string("sleep 400\n") + kBuildFinished +
               repeat(40, "sleep 100\nout test t ... ok\n"));
  RecordingSink sink;
  RunClocks clocks;
  clocks.idle_timeout = Duration::from_millis(700);
  clocks.phase_boundary = is_build_finished_line;
  double elapsed = timeout_secs(run_cargo_once(request_for(sink, {"test"}), clocks));
  EXPECT_GE(elapsed, 0.7);
  EXPECT_LT(elapsed, 1.1);
}

TEST(RunClocks, CallerDeadlineReportsTheCallersOwnClock) {
  FakeCargo cargo;
  cargo.script("sleep 60000\n");
  RecordingSink sink;
  RunClocks clocks;
  clocks.timeout = Duration::from_secs(3);
  clocks.deadline = Clock::now() + std::chrono::milliseconds(400);
  auto start = Clock::now();
  double elapsed = timeout_secs(run_cargo_once(request_for(sink, {"test"}), clocks));
  EXPECT_LT(seconds_since(start), 1.5);
  // The caller's clock started 2.6 s before this run.
  EXPECT_GE(elapsed, 2.95);
  EXPECT_LT(elapsed, 3.4);
}

TEST(RunClocks, CancellingASilentRunEndsItQuicklyWithItsWholeTree) {
  FakeCargo cargo;
  std::string pid_file = cargo.path("tree.pids");
  cargo.script("tree " + pid_file + "\ndaemon " + pid_file + "\nout started\nsleep 60000\n");
  RecordingSink sink;
  CancelScope cancel;
  Clock::time_point cancelled_at;
  std::thread canceller([&] {
    if (!wait_until([&] { return read_pids(pid_file).size() == 4; })) return;
    cancelled_at = Clock::now();
    cancel.cancel();
  });
  RunResult result = run_cargo_once(request_for(sink, {"test"}));
  Clock::time_point returned_at = Clock::now();
  canceller.join();
  ASSERT_FALSE(result.ok());
  EXPECT_TRUE(is_error_kind<CancelledError>(result.error())) << error_text(result.error());
  EXPECT_EQ(error_text(result.error()), "Operation cancelled by client request.");
  double reaction = std::chrono::duration<double>(returned_at - cancelled_at).count();
  EXPECT_LT(reaction, 0.2);
  std::vector<int> pids = read_pids(pid_file);
  ASSERT_EQ(pids.size(), 4u);
  EXPECT_TRUE(wait_until([&] {
    for (int pid : pids)
      if (platform::process_alive(pid)) return false;
    return true;
  }));
}

TEST(RunClocks, DaemonHoldingTheOutputNeitherHoldsTheRunNorOutlivesIt) {
  FakeCargo cargo;
  // cargo ends while its daemon keeps the pipes: the run ends with cargo.
  cargo.script_for(1, "daemon " + cargo.path("daemon.1") + "\nout done\nexit 0\n");
  // cargo hangs: its clock ends the run all the same.
  cargo.script_for(2, "daemon " + cargo.path("daemon.2") + "\nsleep 60000\n");
  RecordingSink sink;
  RunClocks clocks;
  clocks.timeout = Duration::from_secs(120);
  auto start = Clock::now();
  RunResult ended = run_cargo_once(request_for(sink, {"build"}), clocks);
  ASSERT_TRUE(ended.ok()) << error_text(ended.error());
  EXPECT_EQ(ended->exit_code, 0);
  EXPECT_EQ(ended->stdout_text, "done\n");
  EXPECT_LT(seconds_since(start), 60.0);

  clocks.timeout = Duration::from_millis(500);
  start = Clock::now();
  EXPECT_GE(timeout_secs(run_cargo_once(request_for(sink, {"build"}), clocks)), 0.5);
  EXPECT_LT(seconds_since(start), 60.0);
  std::vector<int> pids = read_pids(cargo.path("daemon.1"));
  for (int pid : read_pids(cargo.path("daemon.2"))) pids.push_back(pid);
  ASSERT_EQ(pids.size(), 2u);
  EXPECT_TRUE(all_gone(pids));
}

TEST(RunClocks, ChildThatClosesItsOutputAndLingersIsStillTimedAndCancelled) {
  FakeCargo cargo;
  cargo.script("out hello\nclose-out\nsleep 60000\n");
  RecordingSink sink;
  RunClocks clocks;
  clocks.timeout = Duration::from_millis(500);
  auto start = Clock::now();
  double elapsed = timeout_secs(run_cargo_once(request_for(sink, {"test"}), clocks));
  EXPECT_GE(elapsed, 0.5);
  EXPECT_LT(seconds_since(start), 2.0);

  CancelScope cancel;
  sink.on_line = [&](const std::string&) { cancel.cancel(); };
  RunResult result = run_cargo_once(request_for(sink, {"test"}));
  ASSERT_FALSE(result.ok());
  EXPECT_TRUE(is_error_kind<CancelledError>(result.error()));
}

TEST(RunClocks, ThrowingSinkLeavesNoRunningChildBehind) {
  FakeCargo cargo;
  std::string pid_file = cargo.path("tree.pids");
  cargo.script("tree " + pid_file + "\nout started\nsleep 60000\n");
  RecordingSink sink;
  sink.on_line = [&](const std::string&) {
    wait_until([&] { return read_pids(pid_file).size() == 3; });
    throw std::runtime_error("sink failed");
  };
  auto start = Clock::now();
  EXPECT_THROW((void)run_cargo_once(request_for(sink, {"test"})), std::runtime_error);
  EXPECT_LT(seconds_since(start), 5.0);
  std::vector<int> pids = read_pids(pid_file);
  ASSERT_EQ(pids.size(), 3u);
  EXPECT_TRUE(all_gone(pids));
}

}  // namespace
}  // namespace tarnwick
