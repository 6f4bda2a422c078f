#include "runner/captured.h"

#include <gtest/gtest.h>

#include <csignal>
#include <thread>

#include "base/call_context.h"
#include "child_test_support.h"

namespace tarnwick {
namespace {

using testing::all_gone;
using testing::helper_command;
using testing::read_pids;
using testing::TempDir;
using testing::wait_until;

const Duration kMinute = Duration::from_secs(60);

TEST(Captured, WholeStreamsAndExitCode) {
  auto command = helper_command({"out", "one\\ntwo", "err", "bad \\xff\\n", "exit", "7"});
  auto result = run_command_captured(command, std::nullopt, kMinute);
  ASSERT_TRUE(result.ok()) << error_text(result.error());
  EXPECT_EQ(result->stdout_text, "one\ntwo");
  EXPECT_EQ(result->stderr_text, "bad \xEF\xBF\xBD\n");  // kept, with replacement
  EXPECT_EQ(result->exit_code, 7u);

  command = helper_command({"signal", "9"});
  result = run_command_captured(command, std::nullopt, kMinute);
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(result->exit_code, 128u + 9);
}

TEST(Captured, FiveMegabytesOnBothStreams) {
  const long size = 5 * 1024 * 1024;
  auto command =
      helper_command({"out-bytes", std::to_string(size), "err-bytes", std::to_string(size)});
  auto result = run_command_captured(command, std::nullopt, kMinute);
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(result->stdout_text.size(), static_cast<size_t>(size));
  EXPECT_EQ(result->stderr_text.size(), static_cast<size_t>(size));
}

TEST(Captured, EnvironmentAndWorkingDirectoryAreReplaced) {
  TempDir first, second;
  auto command = helper_command({"env", "cwd"});
  command.env = std::map<std::string, std::string>{{"TW_FROM_CALLER", "1"}};
  command.cwd = first.path();
  set_env_overrides({{"TW_OVERRIDE", "x"}, {"NO_COLOR", std::nullopt}});
  auto result = run_command_captured(command, std::nullopt, kMinute);
  set_env_overrides({});
  ASSERT_TRUE(result.ok());
  const std::string& out = result->stdout_text;
  EXPECT_EQ(out.find("TW_FROM_CALLER"), std::string::npos);
  EXPECT_NE(out.find("TW_OVERRIDE=x\n"), std::string::npos);
  EXPECT_NE(out.find("CARGO_TERM_COLOR=never\n"), std::string::npos);
  EXPECT_EQ(out.find("NO_COLOR="), std::string::npos);
  EXPECT_NE(out.find("\n" + first.path() + "\n"), std::string::npos);  // the command's own

  result = run_command_captured(command, second.path(), kMinute);
  ASSERT_TRUE(result.ok());
  EXPECT_NE(result->stdout_text.find("\n" + second.path() + "\n"), std::string::npos);
}

TEST(Captured, StartFailureIsTheSystemError) {
  ChildCommand command;
  command.program = "/nonexistent/test-binary";
  auto result = run_command_captured(command, std::nullopt, kMinute);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(error_text(result.error()), "No such file or directory (os error 2)");
}

TEST(Captured, ZeroTimeoutKillsARunningChild) {
  auto command = helper_command({"sleep", "100000"});
  auto start = std::chrono::steady_clock::now();
  auto result = run_command_captured(command, std::nullopt, Duration{});
  ASSERT_FALSE(result.ok());
  ASSERT_TRUE(is_error_kind<TimeoutError>(result.error()));
  auto elapsed = std::get<TimeoutError>(result.error()).elapsed;
  EXPECT_LT(elapsed, Duration::from_secs(5));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST(Captured, HugeTimeoutMeansNoDeadline) {
  auto command = helper_command({"out", "done"});
  auto result = run_command_captured(command, std::nullopt, Duration{UINT64_MAX, 999'999'999});
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(result->stdout_text, "done");
}

TEST(Captured, CancellationKillsTheWholeTree) {
  TempDir dir;
  auto flag = make_cancel_flag();
  set_cancel_token(flag);
  std::thread canceller([&] {
    wait_until([&] { return read_pids(dir.file("pids")).size() == 3; });
    flag->store(true);
  });
  auto command =
      helper_command({"pidfile", dir.file("pids"), "tree", dir.file("pids"), "sleep", "100000"});
  auto result = run_command_captured(command, std::nullopt, kMinute);
  canceller.join();
  set_cancel_token(nullptr);
  ASSERT_FALSE(result.ok());
  EXPECT_TRUE(is_error_kind<CancelledError>(result.error()));
  auto pids = read_pids(dir.file("pids"));
  ASSERT_EQ(pids.size(), 3u);
  EXPECT_TRUE(all_gone(pids));
}

TEST(Captured, DescendantHoldingThePipesDoesNotHoldTheRun) {
  // The child ends while its descendants keep its pipes open.
  TempDir dir;
  auto command = helper_command({"tree", dir.file("pids"), "daemon", dir.file("pids"), "out", "bye",
                                 "sleep", "200", "exit", "4"});
  auto start = std::chrono::steady_clock::now();
  auto result = run_command_captured(command, std::nullopt, kMinute);
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(result->stdout_text, "bye");
  EXPECT_EQ(result->exit_code, 4u);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
  EXPECT_TRUE(all_gone(read_pids(dir.file("pids"))));
}

TEST(Captured, SilentProbeEndsAtItsLimitWithItsTree) {
  TempDir dir;
  auto command =
      helper_command({"pidfile", dir.file("pids"), "tree", dir.file("pids"), "exit", "3"});
  auto code = run_command_silently(command, kMinute);
  ASSERT_TRUE(code.ok());
  EXPECT_EQ(*code, 3);

  command =
      helper_command({"pidfile", dir.file("hung"), "tree", dir.file("hung"), "sleep", "100000"});
  auto result = run_command_silently(command, Duration{0, 200'000'000});
  ASSERT_FALSE(result.ok());
  EXPECT_TRUE(is_error_kind<TimeoutError>(result.error()));
  EXPECT_TRUE(all_gone(read_pids(dir.file("hung"))));
}

}  // namespace
}  // namespace tarnwick
