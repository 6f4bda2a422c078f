#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "tools/nextest_args.h"
#include "tools_e2e_support.h"

namespace tarnwick::e2e {
namespace {

using tarnwick::testing::read_file;
using tarnwick::testing::TempCrate;
using tarnwick::testing::TempDir;

// cargo starts it as `cargo-nextest nextest ...`. Each start appends its
// arguments to argv.log beside the bin folder, separated by \037.
const char kStandInScript[] = R"(#!/bin/sh
log="$(dirname "$0")/../argv.log"
for a in "$@"; do printf '%s\037' "$a"; done >> "$log"
echo >> "$log"
shift
finished='{"reason":"build-finished","success":true}'
case "$1" in
  --version) sleep "${STANDIN_VERSION_SLEEP:-0}"; echo "cargo-nextest 0.9.0"; exit 0 ;;
  list)
    if [ -n "$STANDIN_PLAIN_LINE" ]; then
      printf '%s\n' '{"test-count":1,"rust-suites":{}}' "$STANDIN_PLAIN_LINE"
    else
      printf '{\n  "test-count": 0,\n  "rust-suites": {}\n}\n'
    fi
    exit 0 ;;
  run)
    if [ -n "$SWAP_FROM" ]; then mv "$SWAP_FROM" "$SWAP_FROM.away"; ln -s "$SWAP_TO" "$SWAP_FROM"; fi
    for a in "$@"; do
      if [ "$a" = --no-run ]; then echo "$finished"; exit "${STANDIN_BUILD_EXIT:-0}"; fi
    done
    sleep "${STANDIN_SLEEP_BEFORE:-0}"
    echo "$finished"
    sleep "${STANDIN_SLEEP_AFTER:-0}"
    echo "        PASS [   0.004s] demo tests::works"
    [ -n "$STANDIN_EXIT" ] && echo "        FAIL [   0.002s] demo tests::broken"
    echo "stand-in says hello" >&2
    exit "${STANDIN_EXIT:-0}" ;;
esac
exit 2
)";

/// A folder with a stand-in cargo-nextest, and the PATH that finds it first.
class NextestStandIn {
 public:
  NextestStandIn() {
    dir_.write("bin/cargo-nextest", kStandInScript);
    ::chmod((dir_ / "bin/cargo-nextest").c_str(), 0755);
  }
  std::string path_env() const { return dir_ / "bin:" + std::string(std::getenv("PATH")); }

  /// The argument lists of every start so far (without the leading "nextest").
  /// A start whose line is still being written is not counted yet.
  std::vector<std::vector<std::string>> runs() const {
    std::vector<std::vector<std::string>> out;
    std::ifstream in(dir_ / "argv.log");
    std::string line;
    while (std::getline(in, line) && !in.eof()) {
      std::vector<std::string> args;
      std::istringstream fields(line);
      std::string arg;
      while (std::getline(fields, arg, '\037')) args.push_back(arg);
      if (!args.empty()) args.erase(args.begin());
      out.push_back(args);
    }
    return out;
  }

 private:
  TempDir dir_{"tarnwick-nextest"};
};

const std::string kLeadIn =
    "Add the following section to the appropriate Pellimar instruction file in this repository. "
    "Adapt the wording to fit the project's existing conventions \u2014 the meaning matters, not "
    "the exact phrasing.\n\n````markdown\n";
const std::string kInstallBlocks =
    "```pwsh\ncargo install cargo-nextest --locked\n```\n\n"
    "Or, for a much faster install of a pre-built binary:\n\n"
    "```pwsh\ncargo binstall cargo-nextest\n```\n";

TEST(CargoSetup, WithoutWorkingDirRunsNoProbeAndGivesTheOptionalSection) {
  NextestStandIn nextest;
  ToolServer server({{"PATH", nextest.path_env()}});
  CallAnswer answer = server.call("cargo_setup", json::object());
  EXPECT_FALSE(answer.result().contains("isError"));
  const std::string guide = read_file(TARNWICK_SOURCE_DIR "/src/tools/setup_guide.md");
  const std::string optional =
      "\n### Optional: cargo-nextest\n\nWhen `cargo-nextest` is installed, prefer "
      "`cargo_nextest_run` over `cargo_test` for projects that opt into it (workspace has a "
      "`.config/nextest.toml`, the user asks for nextest, or the suite benefits from per-test "
      "process isolation / built-in retries / filter expressions). `cargo_test` remains the "
      "canonical tool, and is the ONLY way to run **doctests** (nextest does not support them).\n";
  EXPECT_EQ(answer.text(), kLeadIn + guide + optional + "````");
  EXPECT_TRUE(nextest.runs().empty());

  // Each heading on a line of its own with a blank line after it, in order.
  const std::string lines = "\n" + guide;
  size_t at = 0;
  for (const char* heading :
       {"## Cargo commands \u2014 use MCP tools, never the terminal", "### Boolean arguments",
        "### Test selection \u2014 which knobs belong to which tool",
        "### cargo_test \u2014 phases & timeouts", "### cargo_test \u2014 per-test execution mode",
        "### Environment variables (`env`)",
        "### Redirecting full output to a file (`output_path`)",
        "### Hang / slow-test bisection (`bisect`)", "### Reading cargo_test output"}) {
    at = lines.find("\n" + std::string(heading) + "\n\n", at);
    ASSERT_NE(at, std::string::npos) << heading;
    ++at;
  }
  // LF line endings and exactly one line feed at the end.
  EXPECT_EQ(guide.find('\r'), std::string::npos);
  EXPECT_TRUE(guide.ends_with("\n") && !guide.ends_with("\n\n"));
}

TEST(CargoSetup, ConfiguredWorkspaceGetsTheRecommendedSection) {
  NextestStandIn nextest;
  TempDir workspace;
  workspace.write(".config/nextest.toml", "[profile.default]\n");
  ToolServer server({{"PATH", nextest.path_env()}});
  std::string text = server.call("cargo_setup", {{"working_dir", workspace.path()}}).text();
  EXPECT_NE(text.find("\n### Recommended: cargo-nextest\n\nThis workspace contains a "
                      "`.config/nextest.toml`, so prefer `cargo_nextest_run`"),
            std::string::npos);
  EXPECT_TRUE(text.ends_with("without execution.\n````")) << text.substr(text.size() - 200);
  EXPECT_EQ(nextest.runs(), (std::vector<std::vector<std::string>>{{"--version"}}));
}

TEST(CargoSetup, MissingRunnerAppendsTheNoteAndBothInstallBlocks) {
  TempDir cargo_home, plain, configured, config_dir;
  configured.write(".config/nextest.toml", "");
  std::filesystem::create_directories(config_dir / ".config/nextest.toml");
  ToolServer server({{"CARGO_HOME", cargo_home.path()}});

  CallAnswer answer = server.call("cargo_setup", {{"working_dir", plain.path()}});
  EXPECT_FALSE(answer.result().contains("isError"));
  const std::string optional_tail =
      "````\n\nOptional: `cargo-nextest` is not installed. Install it to enable the "
      "`cargo_nextest_run` / `cargo_nextest_list` tools (per-test process isolation, built-in "
      "flaky-test retries, filter expressions):\n\n" +
      kInstallBlocks;
  EXPECT_TRUE(answer.text().ends_with(optional_tail)) << answer.text();
  // A directory in the configuration's place counts as no configuration.
  EXPECT_TRUE(server.call("cargo_setup", {{"working_dir", config_dir.path()}})
                  .text()
                  .ends_with(optional_tail));

  std::string text = server.call("cargo_setup", {{"working_dir", configured.path()}}).text();
  EXPECT_TRUE(text.ends_with(
      "without execution.\n````\n\nThis workspace is configured for cargo-nextest "
      "(`.config/nextest.toml` is present) but the `cargo-nextest` plugin is **not installed**. "
      "Install it to take advantage of the workspace's nextest configuration:\n\n" +
      kInstallBlocks))
      << text;
}

using Runs = std::vector<std::vector<std::string>>;

TEST(CargoSetup, CancelledDuringTheProbeAnswersCancelled) {
  NextestStandIn nextest;
  TempDir workspace;
  ToolServer server({{"PATH", nextest.path_env()}, {"STANDIN_VERSION_SLEEP", "600"}});
  server.send("cargo_setup", {{"working_dir", workspace.path()}});
  const int id = server.next_id() - 1;
  for (auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
       nextest.runs().empty() && std::chrono::steady_clock::now() < deadline;)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_EQ(nextest.runs(), (Runs{{"--version"}})) << "the probe never started";

  std::chrono::milliseconds took{};
  CallAnswer answer = server.cancel(id, took);
  EXPECT_EQ(answer.text(), "Operation cancelled by client request.");
  EXPECT_TRUE(answer.is_error());
  EXPECT_TRUE(descendants(server.process().pid()).empty());
}

const char kCrateLib[] = "#[cfg(test)]\nmod tests {\n    #[test]\n    fn works() {}\n}\n";

json invocation(const std::vector<std::string>& argv, const std::string& cwd) {
  return {{"argv", argv}, {"cwd", cwd}, {"reason", "x-tarnwick-invocation"}};
}

TEST(NextestRun, BuildsWithNoRunThenRunsWithTheExecutionFlags) {
  NextestStandIn nextest;
  TempCrate crate("demo", {{"src/lib.rs", kCrateLib}});
  ToolServer server({{"PATH", nextest.path_env()}});
  CallAnswer answer = server.call("cargo_nextest_run", {{"working_dir", crate.path()},
                                                        {"nextest_profile", "ci"},
                                                        {"build_jobs", -2},
                                                        {"no_fail_fast", true},
                                                        {"test_threads", 2},
                                                        {"retries", 1},
                                                        {"test_name", "a/b(c)"},
                                                        {"exact", true}});
  const std::vector<std::string> base = {
      "run", "--cargo-message-format=json", "--profile", "ci", "--build-jobs", "-2"};
  std::vector<std::string> build = base, test = base;
  build.push_back("--no-run");
  test.insert(test.end(), {"--no-fail-fast", "--test-threads", "2", "--retries", "1", "-E",
                           "test(=a\\/b(c\\))"});
  EXPECT_EQ(nextest.runs(), (Runs{{"--version"}, build, test}));

  test.insert(test.begin(), "nextest");
  std::vector<json> records = answer.records();
  ASSERT_EQ(records.size(), 5u) << answer.text();
  EXPECT_EQ(records[0], invocation(test, crate.path()));
  EXPECT_EQ(records[1], json({{"reason", "build-finished"}, {"success", true}}));
  EXPECT_EQ(records[2], json({{"reason", "x-tarnwick-nextest-output"},
                              {"text", "        PASS [   0.004s] demo tests::works"}}));
  EXPECT_EQ(answer.lines().at(3), R"({"status":"success"})");
  EXPECT_EQ(records[4], json({{"reason", "x-tarnwick-stderr"}, {"text", "stand-in says hello"}}));
  EXPECT_FALSE(answer.result().contains("isError"));

  CallAnswer failed = server.call("cargo_nextest_run", {{"working_dir", crate.path()},
                                                        {"filter", ""},
                                                        {"output_path", "run.ndjson"},
                                                        {"env", {{"STANDIN_EXIT", "100"}}}});
  EXPECT_TRUE(failed.is_error());
  EXPECT_EQ(failed.records().at(0)["argv"].back(), "");
  std::vector<std::string> lines = failed.lines();
  EXPECT_NE(std::find(lines.begin(), lines.end(), R"({"status":"error","exit_code":100})"),
            lines.end())
      << failed.text();
  // The summary keeps nextest's failure lines; the file keeps everything.
  EXPECT_NE(failed.text().find("tests::broken"), std::string::npos);
  EXPECT_EQ(failed.text().find("tests::works"), std::string::npos);
  EXPECT_NE(read_file(crate / "run.ndjson").find("tests::works"), std::string::npos);
}

// The stand-in swaps the working directory for a link out while it runs:
// the output file goes nowhere, and the file outside keeps its content.
TEST(NextestRun, AWorkingDirectorySwappedDuringTheRunTakesNoWrite) {
  NextestStandIn nextest;
  TempCrate crate("demo", {{"src/lib.rs", kCrateLib}});
  TempDir outside("tarnwick-outside");
  outside.write("run.ndjson", "outside");
  ToolServer server({{"PATH", nextest.path_env()}});
  CallAnswer answer = server.call(
      "cargo_nextest_run", {{"working_dir", crate.path()},
                            {"output_path", "run.ndjson"},
                            {"env", {{"SWAP_FROM", crate.path()}, {"SWAP_TO", outside.path()}}}});
  EXPECT_TRUE(
      answer.text().starts_with("error: output_path was not written: the working "
                                "directory was moved or replaced"))
      << answer.text();
  EXPECT_EQ(read_file(outside / "run.ndjson"), "outside");
  std::filesystem::remove(crate.path());
  std::filesystem::rename(crate.path() + ".away", crate.path());
}

TEST(NextestRun, FailedBuildAnswersWithTheBuildCommand) {
  NextestStandIn nextest;
  TempCrate crate("demo", {{"src/lib.rs", kCrateLib}});
  ToolServer server({{"PATH", nextest.path_env()}});
  CallAnswer answer = server.call(
      "cargo_nextest_run",
      {{"working_dir", crate.path()}, {"no_run", true}, {"env", {{"STANDIN_BUILD_EXIT", "101"}}}});
  EXPECT_TRUE(answer.is_error());
  EXPECT_EQ(answer.records().at(0)["argv"].back(), "--no-run");
  EXPECT_EQ(answer.lines().back(), R"({"status":"error","exit_code":101})");
  EXPECT_EQ(nextest.runs().size(), 2u);  // the probe and the build
}

TEST(NextestRun, TestTimeoutStartsAtBuildFinished) {
  NextestStandIn nextest;
  TempCrate crate("demo", {{"src/lib.rs", kCrateLib}});
  ToolServer server({{"PATH", nextest.path_env()}});
  // Two seconds before build-finished do not count against a one-second budget...
  CallAnswer slow_start =
      server.call("cargo_nextest_run", {{"working_dir", crate.path()},
                                        {"test_timeout_secs", 1},
                                        {"env", {{"STANDIN_SLEEP_BEFORE", "2"}}}});
  EXPECT_FALSE(slow_start.result().contains("isError")) << slow_start.text();
  // ...while a sleep after it is cut off, in the test execution phase.
  CallAnswer hung = server.call("cargo_nextest_run", {{"working_dir", crate.path()},
                                                      {"test_timeout_secs", 1},
                                                      {"env", {{"STANDIN_SLEEP_AFTER", "120"}}}});
  EXPECT_TRUE(hung.is_error());
  EXPECT_TRUE(hung.text().starts_with("error: Operation timed out after "));
  EXPECT_NE(hung.text().find("during the test execution phase"), std::string::npos) << hung.text();
}

// With bisect too, a probe that hangs ends at the call's deadline or its
// cancellation, not at the probe's own two-minute limit.
TEST(NextestRun, AHungProbeEndsAtTheDeadlineOrCancellationWhenBisecting) {
  NextestStandIn nextest;
  TempCrate crate("demo", {{"src/lib.rs", kCrateLib}});
  ToolServer server({{"PATH", nextest.path_env()}, {"STANDIN_VERSION_SLEEP", "600"}});
  json arguments = {{"working_dir", crate.path()}, {"bisect", {{"group_timeout_secs", 30}}}};
  json timed = arguments;
  timed["timeout_secs"] = 2;
  const auto start = std::chrono::steady_clock::now();
  CallAnswer answer = server.call("cargo_nextest_run", timed);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
  EXPECT_TRUE(answer.is_error());
  EXPECT_TRUE(answer.text().starts_with("error: Operation timed out after 2.")) << answer.text();
  EXPECT_NE(answer.text().find("during the build phase"), std::string::npos) << answer.text();

  server.send("cargo_nextest_run", arguments);
  const int id = server.next_id() - 1;
  for (auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
       nextest.runs().size() < 2 && std::chrono::steady_clock::now() < deadline;)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_EQ(nextest.runs(), (Runs{{"--version"}, {"--version"}})) << "the probe never started";
  std::chrono::milliseconds took{};
  CallAnswer cancelled = server.cancel(id, took);
  EXPECT_EQ(cancelled.text(), "Operation cancelled by client request.");
  EXPECT_LT(took, std::chrono::seconds(30));
  EXPECT_TRUE(descendants(server.process().pid()).empty());
}

TEST(NextestList, ReserialisesTheListWithSortedKeysAndWrapsPlainLines) {
  NextestStandIn nextest;
  TempCrate crate("demo", {{"src/lib.rs", kCrateLib}});
  ToolServer server({{"PATH", nextest.path_env()}});
  CallAnswer whole = server.call("cargo_nextest_list", {{"working_dir", crate.path()}});
  EXPECT_EQ(
      whole.lines(),
      (std::vector<std::string>{
          invocation({"nextest", "list", "--message-format", "json", "--cargo-message-format=json"},
                     crate.path())
              .dump(),
          R"({"rust-suites":{},"test-count":0})", R"({"status":"success"})"}));

  // A run_ignored outside the three values reaches nextest unchanged.
  CallAnswer mixed =
      server.call("cargo_nextest_list", {{"working_dir", crate.path()},
                                         {"run_ignored", "sometimes"},
                                         {"env", {{"STANDIN_PLAIN_LINE", "warning: not JSON"}}}});
  std::vector<std::string> lines = mixed.lines();
  ASSERT_EQ(lines.size(), 4u) << mixed.text();
  EXPECT_NE(lines[0].find(R"("--run-ignored","sometimes"])"), std::string::npos);
  EXPECT_EQ(lines[1], R"({"rust-suites":{},"test-count":1})");
  EXPECT_EQ(lines[2], R"({"reason":"x-tarnwick-nextest-output","text":"warning: not JSON"})");
  EXPECT_FALSE(mixed.result().contains("isError"));
}

TEST(NextestTools, AnswerOnlyTheInstallTextWhenTheRunnerIsMissing) {
  TempCrate crate("demo", {{"src/lib.rs", kCrateLib}});
  TempDir cargo_home;
  ToolServer server({{"CARGO_HOME", cargo_home.path()}});
  for (auto [tool, extra] :
       {std::pair{"cargo_nextest_run", json::object()},
        std::pair{"cargo_nextest_run", json({{"bisect", {{"group_timeout_secs", 5}}}})},
        std::pair{"cargo_nextest_list", json({{"list_type", "bogus"}})}}) {
    json arguments = extra;
    arguments["working_dir"] = crate.path();
    CallAnswer answer = server.call(tool, arguments);
    EXPECT_TRUE(answer.is_error()) << tool;
    EXPECT_EQ(answer.text(), nextest_not_installed_message());
  }
}

TEST(NextestRun, BisectGoesToTheBisectionEngine) {
  NextestStandIn nextest;
  TempCrate crate("demo", {{"src/lib.rs", kCrateLib}});
  ToolServer server({{"PATH", nextest.path_env()}});
  json bisect = {{"group_timeout_secs", 30}};
  CallAnswer refused =
      server.call("cargo_nextest_run",
                  {{"working_dir", crate.path()}, {"bisect", bisect}, {"test_timeout_secs", 0}});
  EXPECT_TRUE(
      refused.text().starts_with("error: test_timeout_secs is not supported together with bisect;"))
      << refused.text();

  CallAnswer answer =
      server.call("cargo_nextest_run", {{"working_dir", crate.path()}, {"bisect", bisect}});
  bool config = false;
  for (const json& record : answer.records())
    if (record.value("reason", "") == "x-tarnwick-bisect-config") config = true;
  EXPECT_TRUE(config) << answer.text();
  // Only the probes went through cargo-nextest.
  EXPECT_EQ(nextest.runs(), (Runs{{"--version"}, {"--version"}}));
}

}  // namespace
}  // namespace tarnwick::e2e
