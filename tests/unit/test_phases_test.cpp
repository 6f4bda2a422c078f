#include "tools/test_phases.h"

#include <gtest/gtest.h>

#include "invoke_test_support.h"

namespace tarnwick {
namespace {

using testing::FakeCargo;
using testing::RecordingSink;

TEST(RunPhase, MarksThePhaseAndNamesItWhenTheDeadlineHits) {
  FakeCargo cargo;
  cargo.script("out {\"reason\":\"build-finished\",\"success\":true}\nsleep 30000\n");
  RecordingSink sink;
  ::testing::internal::CaptureStdout();
  RunResult run =
      run_phase({"test", "--message-format=json"}, std::nullopt, Duration::from_millis(200),
                /*phased=*/true, sink.get(), kTestExecutionPhase);
  ::testing::internal::GetCapturedStdout();
  ASSERT_FALSE(run.ok());
  ASSERT_TRUE(is_error_kind<PhaseTimeoutError>(run.error())) << error_debug_text(run.error());
  EXPECT_EQ(std::get<PhaseTimeoutError>(run.error()).phase, "test execution");
  ASSERT_GE(sink.lines.size(), 2u);
  EXPECT_EQ(sink.lines[0], R"({"reason":"x-tarnwick-phase","phase":"test execution"})");
  EXPECT_EQ(sink.lines[1], R"({"reason":"build-finished","success":true})");
}

TEST(RunPhase, WithoutASinkWritesNoMarkerAndKeepsOtherOutcomes) {
  FakeCargo cargo;
  cargo.script("out plain\nexit 3\n");
  ::testing::internal::CaptureStdout();
  RunResult run = run_phase({"test"}, std::nullopt, std::nullopt, false, nullptr, kBuildPhase);
  ::testing::internal::GetCapturedStdout();
  ASSERT_TRUE(run.ok());
  EXPECT_EQ(run->exit_code, 3);
  EXPECT_EQ(run->stdout_text, "plain\n");
}

}  // namespace
}  // namespace tarnwick
