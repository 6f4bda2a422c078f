#include "test_select/test_launch.h"

#include <gtest/gtest.h>

namespace tarnwick {
namespace {

const TestBinary kApp{"app", "app", TestTargetKind::Lib, "/w/target/debug/deps/app-1a2b"};

// A binary the runner never saw: cargo ran it past the runner (its line
// names it, in whatever form), or cargo's own errors say why it did not.
TEST(WhyNotStarted, TellsARunPastTheRunnerFromCargosErrors) {
  LaunchRun past;
  past.cargo_text =
      "   Compiling app v0.1.0\n     Running unittests src/lib.rs (target/debug/deps/app-1a2b)\n";
  EXPECT_NE(why_not_started(past, kApp).find("without tarnwick's test runner"), std::string::npos);

  LaunchRun broken;
  broken.cargo_json =
      R"({"reason":"compiler-message","message":{"level":"error","message":"mismatched types"}})"
      "\n";
  broken.cargo_text = "error: could not compile `app`\n";
  EXPECT_EQ(why_not_started(broken, kApp), "mismatched types; error: could not compile `app`");
}

// cargo's lines for binaries the runner let end unstarted are left out of
// the answer; the binary that ran keeps its own.
TEST(LaunchOutput, LeavesOutTheLinesOfSkippedBinaries) {
  LaunchRun run;
  run.cargo_text =
      "     Running unittests src/lib.rs (target/debug/deps/app-1a2b)\n"
      "     Running tests/it.rs (target/debug/deps/it-9f)\n";
  run.seen.skipped = {"/w/target/debug/deps/app-1a2b"};
  BinaryRun it;
  it.out = "running 1 test";
  it.err = "warning from the test\n";
  run.seen.runs.push_back(it);
  run.exit_code = 0;
  RunOutput output = launch_output(run);
  EXPECT_EQ(output.stderr_text,
            "     Running tests/it.rs (target/debug/deps/it-9f)\nwarning from the test\n");
  EXPECT_EQ(output.stdout_text, "running 1 test\n");
}

}  // namespace
}  // namespace tarnwick
