// tarnwick's test runner and the watch of a run's test binaries, with a
// shell standing in for cargo: it starts the runner in each binary's place
// exactly as cargo does, the variable's value split at white space.
#include "runner/binary_runs.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "../common/temp_crate.h"
#include "runner/captured.h"
#include "runner/toolchain.h"

namespace tarnwick {
namespace {

using testing::TempDir;

std::vector<std::string> runner_command() {
  return {std::string(TARNWICK_TEST_BIN_DIR) + "/../tarnwick-test-runner", "tarnwick-test-runner"};
}

void write_script(const TempDir& dir, const std::string& name, const std::string& body) {
  dir.write(name, "#!/bin/sh\n" + body);
  std::filesystem::permissions(dir / name, std::filesystem::perms::owner_all);
}

/// Runs `script` as cargo would run the binaries, with the watch's
/// variables and RUNNER (RUNNER2) naming the first (second) target's
/// runner; returns what the stand-in printed of its own.
std::string run_as_cargo(const BinaryRunWatch& watch, const TempDir& dir,
                         const std::string& script) {
  ChildCommand command;
  command.program = "/bin/sh";
  command.args = {"-c", script};
  ChildEnv env = build_child_env();
  env["DIR"] = dir.path();
  env["CARGO_TARGET_OTHER_RUNNER"] = "the user's own";
  env.erase("CARGO_TARGET_TEST_RUNNER");
  for (const auto& [name, value] : watch.cargo_variables()) env[name] = value;
  env["RUNNER"] = watch.cargo_variables().front().second;
  env["RUNNER2"] = watch.cargo_variables().back().second;
  command.env = env;
  command.cwd = dir.path();
  Result<CapturedOutput> ran = run_probe_captured(command);
  EXPECT_TRUE(ran.ok());
  return ran ? ran->stdout_text + ran->stderr_text : "";
}

// Each binary's output is its own, what its children write after it ended
// is told apart, and its end is the runner's and so cargo's: the same code,
// the same signal. Binaries the run does not start, and those the build
// did not report, end at once unstarted.
TEST(BinaryRunWatch, EachBinaryIsSeenAsItRan) {
  TempDir dir("tarnwick-runs");
  // late.sh leaves a child that writes once the next binary has started.
  const std::string wait_for =
      "i=0; while [ ! -e \"$DIR/$0\" ] && [ $i -lt 6000 ]; do sleep 0.01;"
      " i=$((i+1)); done";
  write_script(dir, "late.sh",
               "echo own line\n"
               "sh -c '" +
                   wait_for +
                   "; echo \"test result: ok.\"; touch \"$DIR/late-done\"'"
                   " second-started &\n"
                   "echo to stderr >&2\nexit 101\n");
  write_script(dir, "second.sh",
               "touch \"$DIR/second-started\"\n"
               "sh -c '" +
                   wait_for +
                   "' late-done\n"
                   "echo \"second $RUST_TEST_THREADS ${CARGO_TARGET_TEST_RUNNER-unset}"
                   " ${TARNWICK_TEST_RUNNER_SKIPS-unset}\"\n"
                   "echo \"${CARGO_TARGET_OTHER_RUNNER-unset}\"\nkill -ABRT $$\n");
  write_script(dir, "skipped.sh", "touch \"$DIR/skipped-ran\"\n");
  BinaryRunPlan plan;
  plan.executables = {dir / "late.sh", dir / "second.sh", dir / "skipped.sh"};
  plan.to_start = {true, true, false};
  plan.targets = {TargetRunner{"", "CARGO_TARGET_TEST_RUNNER", {}, std::nullopt},
                  TargetRunner{"", "CARGO_TARGET_OTHER_RUNNER", {}, "the user's own"}};
  plan.runner_command = runner_command();
  auto watch = BinaryRunWatch::start(plan);
  ASSERT_TRUE(watch.ok());
  std::string said = run_as_cargo(**watch, dir,
                                  "$RUNNER $DIR/late.sh --exact a; echo late=$?\n"
                                  "RUST_TEST_THREADS=3 $RUNNER $DIR/second.sh; echo second=$?\n"
                                  "$RUNNER $DIR/skipped.sh; echo skipped=$?\n"
                                  "$RUNNER /bin/true --list; echo unknown=$?\n");
  BinaryRunsSeen seen = (*watch)->finish();
  EXPECT_NE(said.find("late=101\nsecond=134\nskipped=0\nunknown=0\n"), std::string::npos) << said;
  EXPECT_FALSE(std::filesystem::exists(dir / "skipped-ran"));
  EXPECT_EQ(seen.skipped, std::vector<std::string>{dir / "skipped.sh"});
  EXPECT_EQ(seen.unknown, std::vector<std::string>{"/bin/true"});

  ASSERT_EQ(seen.runs.size(), 2u);
  const BinaryRun& late = seen.runs[0];
  EXPECT_EQ(late.binary, 0u);
  EXPECT_EQ(late.args, (std::vector<std::string>{"--exact", "a"}));
  EXPECT_EQ(late.own_out(), "own line\n");
  EXPECT_EQ(late.out, "own line\ntest result: ok.\n");
  EXPECT_EQ(late.err, "to stderr\n");
  ASSERT_TRUE(late.status.has_value());
  EXPECT_EQ(describe_exit(*late.status), "exit code 101");
  ASSERT_TRUE(late.ended.has_value());
  EXPECT_GE(*late.ended, late.started);

  const BinaryRun& second = seen.runs[1];
  EXPECT_EQ(second.threads_env, "3");
  // The runner's variables are put back as the user had them, or taken away.
  EXPECT_EQ(second.out, "second 3 unset unset\nthe user's own\n");
  ASSERT_TRUE(second.status.has_value());
  EXPECT_TRUE(second.status->signalled);
  EXPECT_EQ(describe_exit(*second.status).substr(0, 18), "signal: 6, SIGABRT");
}

// The user's runner still starts the binary; a binary that cannot be
// started is reported so; the binary gets the descriptors cargo gave the
// runner, none of the runner's own.
TEST(BinaryRunWatch, TheUsersRunnerAndCargosDescriptorsStay) {
  TempDir dir("tarnwick-chain");
  write_script(dir, "fds.sh", "echo \"binary $*\"; exec ls /proc/self/fd\n");
  write_script(dir, "wrap.sh", "echo \"wrapped by $1\"; shift; exec \"$@\"\n");
  BinaryRunPlan plan;
  plan.executables = {dir / "fds.sh", dir / "missing"};
  plan.to_start = {true, true};
  plan.targets = {
      TargetRunner{"", "CARGO_TARGET_TEST_RUNNER", {dir / "wrap.sh", "me"}, std::nullopt},
      TargetRunner{"", "CARGO_TARGET_OTHER_RUNNER", {}, std::nullopt}};
  plan.runner_command = runner_command();
  auto watch = BinaryRunWatch::start(plan);
  ASSERT_TRUE(watch.ok());
  std::string said = run_as_cargo(**watch, dir,
                                  "ls /proc/self/fd\n"
                                  "$RUNNER $DIR/fds.sh x y\n"
                                  "$RUNNER2 $DIR/missing; echo missing=$?\n");
  BinaryRunsSeen seen = (*watch)->finish();
  ASSERT_EQ(seen.runs.size(), 2u);
  std::string cargo_fds = said.substr(0, said.find("missing="));
  EXPECT_EQ(cargo_fds, "0\n1\n2\n3\n");
  EXPECT_EQ(seen.runs[0].out, "wrapped by me\nbinary x y\n" + cargo_fds) << said;
  EXPECT_FALSE(seen.runs[1].status.has_value());
  EXPECT_TRUE(seen.runs[1].start_error.has_value());
  EXPECT_NE(said.find("missing=127"), std::string::npos) << said;
}

}  // namespace
}  // namespace tarnwick
