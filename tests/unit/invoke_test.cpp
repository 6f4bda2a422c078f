#include "invoke.h"

#include <gtest/gtest.h>

#include "invoke_test_support.h"

namespace tarnwick {
namespace {

using namespace tarnwick::testing;

RunRequest request_in(const std::string &cwd, std::vector<std::string> argv, const RecordingSink &sink) {
  RunRequest request;
  request.argv = std::move(argv);
  request.cwd = cwd;
  request.sink = sink.get();
  return request;
}

TEST(RunCargoOnce, RealCheckStreamsEveryLineAndCollectsThem) {
  RealCargo cargo;
  TempCrate crate("fine", {{"src/lib.rs", "pub fn answer() -> u32 { 42 }\n"}});
  RecordingSink sink;
  RunResult result = run_cargo_once(request_in(crate.path(), {"check", "--message-format=json"}, sink));
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

}  // namespace
}  // namespace tarnwick
