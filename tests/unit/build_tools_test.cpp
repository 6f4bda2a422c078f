#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "invoke_test_support.h"
#include "tools/dispatch.h"

namespace tarnwick {
namespace {

using testing::FakeCargo;
using testing::RecordingSink;
using testing::TempDir;

/// Runs tools through dispatch against the scripted cargo stand-in, with the
/// server's log lines kept off the test's output.
class BuildToolCommands : public ::testing::Test {
 protected:
  ToolOutcome run(std::string_view tool, json arguments, const ProgressSink* sink = nullptr) {
    arguments["working_dir"] = dir_.path();
    ::testing::internal::CaptureStdout();
    ToolOutcome outcome =
        dispatch_tool(tool, arguments, sink, platform::WorkingDir::open(dir_.path()));
    ::testing::internal::GetCapturedStdout();
    return outcome;
  }
  /// The arguments of every cargo run so far, each joined by blanks.
  std::vector<std::string> argv_lines() const {
    std::vector<std::string> lines;
    for (const std::string& call : cargo_.calls()) lines.push_back(call.substr(call.find(' ') + 1));
    return lines;
  }
  /// The arguments of the last cargo run of `arguments` given to `tool`.
  std::string argv_of(std::string_view tool, const json& arguments) {
    run(tool, arguments);
    std::vector<std::string> lines = argv_lines();
    return lines.empty() ? "<no run>" : lines.back();
  }

  FakeCargo cargo_;
  TempDir dir_;
};

TEST_F(BuildToolCommands, EachToolBuildsItsOwnCommandLine) {
  cargo_.script("exit 0\n");
  EXPECT_EQ(argv_of("cargo_check", {{"toolchain", "nightly"}, {"package", "core"}}),
            "+nightly check --message-format=json --package core");
  EXPECT_EQ(argv_of("cargo_clippy", {{"keep_going", true},
                                     {"jobs", 2},
                                     {"target", "t"},
                                     {"ignore_rust_version", true},
                                     {"locked", true}}),
            "clippy --message-format=json --jobs 2 --keep-going --target t "
            "--ignore-rust-version --locked");
  // Doc takes no test or bench targets, and --bin after --bins.
  EXPECT_EQ(argv_of("cargo_doc", {{"tests", true},
                                  {"bin", "cli"},
                                  {"bins", true},
                                  {"document_private_items", "yes"},
                                  {"no_deps", 1},
                                  {"all_targets", true},
                                  {"features", "f"}}),
            "doc --message-format=json --bins --bin cli --no-deps --document-private-items "
            "--features f");
  EXPECT_EQ(argv_of("cargo_tree", {{"depth", 0}, {"toolchain", " +beta "}}),
            "+beta tree --depth 0");
  EXPECT_EQ(argv_of("cargo_tree", {{"depth", -1}, {"invert", "serde"}, {"duplicates", true}}),
            "tree --invert serde --duplicates --depth -1");
  EXPECT_EQ(argv_of("cargo_tree", {{"depth", 2.5}, {"ignore_rust_version", true}}), "tree");
  EXPECT_EQ(argv_of("cargo_tree", {{"depth", "2"}, {"keep_going", true}, {"target", "t"}}),
            "tree --target t");
  EXPECT_EQ(argv_of("cargo_update", {{"package", "p"}, {"precise", "1.2.3"}}),
            "update --package p --precise 1.2.3");
  EXPECT_EQ(argv_of("cargo_update", {{"package", "p"}, {"toolchain", "nightly"}}),
            "update --package p");
  EXPECT_EQ(
      argv_of(
          "cargo_publish",
          {{"toolchain", "nightly"}, {"dry_run", true}, {"allow_dirty", "on"}, {"package", "p"}}),
      "publish --package p --dry-run --allow-dirty");
}

TEST_F(BuildToolCommands, ExitCodeSetsTheErrorFlagAndRefusalsRunNothing) {
  cargo_.script("exit 101\n");
  ToolOutcome failed = run("cargo_build", json::object());
  ASSERT_TRUE(std::holds_alternative<ToolText>(failed));
  EXPECT_TRUE(std::get<ToolText>(failed).is_error);
  cargo_.script("exit 0\n");
  ToolOutcome passed = run("cargo_check", json::object());
  ASSERT_TRUE(std::holds_alternative<ToolTextWithSuggestions>(passed));
  EXPECT_FALSE(std::get<ToolTextWithSuggestions>(passed).is_error);
  EXPECT_EQ(argv_lines().size(), 2u);

  // A bad output path or timeout, and an unpinned `precise`, end the call before cargo.
  EXPECT_TRUE(std::holds_alternative<ToolFailed>(run("cargo_doc", {{"output_path", "../x"}})));
  EXPECT_TRUE(std::holds_alternative<ToolFailed>(run("cargo_build", {{"timeout_secs", "10"}})));
  EXPECT_TRUE(
      std::holds_alternative<ToolFailed>(run("cargo_update", {{"package", 3}, {"precise", "1"}})));
  EXPECT_EQ(argv_lines().size(), 2u);
}

// Retrying `clippy --fix` would hide what its first attempt fixed.
TEST_F(BuildToolCommands, ClippyFixRunsOnceWherePlainClippyRetriesABusyFile) {
  ServerSettings settings;
  settings.retry_delay_ms = 1;
  testing::SettingsScope fast_retries(settings);
  cargo_.script(
      "err Fixed src/lib.rs (3 fixes)\n"
      "err error: failed to open: being used by another process (os error 32)\nexit 101\n");
  ToolOutcome fixed = run("cargo_fix", {{"clippy", true}, {"allow_dirty", true}});
  ASSERT_TRUE(std::holds_alternative<ToolText>(fixed));
  EXPECT_NE(std::get<ToolText>(fixed).text.find("Fixed src/lib.rs (3 fixes)"), std::string::npos);
  EXPECT_EQ(argv_lines(), (std::vector<std::string>{"clippy --fix --allow-dirty"}));

  run("cargo_clippy", json::object());
  EXPECT_EQ(argv_lines().size(), 4u);  // three attempts
}

TEST_F(BuildToolCommands, PackageCountRunsOncePerScopeWithTheCallsLockFlags) {
  const std::string total = R"({"reason":"x-tarnwick-progress-total","total_units":3})";
  cargo_.script_for(1, "out {\"packages\":[1,2,3],\"resolve\":null}\n");
  cargo_.script("exit 0\n");
  const json locked = {{"manifest_path", "Cargo.toml"}, {"locked", true}, {"frozen", "maybe"}};
  RecordingSink first, second, quiet;
  run("cargo_build", locked, first.get());
  run("cargo_check", locked, second.get());
  run("cargo_doc", json::object());  // no sink: no count
  std::vector<std::string> runs = argv_lines();
  ASSERT_EQ(runs.size(), 4u);
  EXPECT_EQ(runs[0], "metadata --format-version=1 --manifest-path Cargo.toml --locked");
  EXPECT_TRUE(runs[1].starts_with("build ")) << runs[1];
  EXPECT_TRUE(runs[2].starts_with("check ")) << runs[2];
  EXPECT_TRUE(runs[3].starts_with("doc ")) << runs[3];
  EXPECT_EQ(first.lines.front(), total);
  EXPECT_EQ(second.lines.front(), total);

  // The count runs within the call's timeout, so a bad one fails before it;
  // a failed count writes nothing.
  ToolOutcome refused = run("cargo_build", {{"toolchain", "x"}, {"timeout_secs", -1}}, quiet.get());
  ASSERT_TRUE(std::holds_alternative<ToolFailed>(refused));
  EXPECT_EQ(error_text(std::get<ToolFailed>(refused).error),
            "timeout_secs must be a non-negative integer, got -1");
  EXPECT_EQ(argv_lines().size(), 4u);
  cargo_.script("exit 1\n");
  run("cargo_build", {{"toolchain", "x"}}, quiet.get());
  EXPECT_EQ(argv_lines().at(4), "+x metadata --format-version=1");
  EXPECT_EQ(quiet.count_starting(R"({"reason":"x-tarnwick-progress-total")"), 0u);
}

// Counting spends the call's own time: a count that cannot finish leaves no
// total, and the call still ends at its timeout, or as cancelled.
TEST_F(BuildToolCommands, PackageCountHoldsToTheCallsTimeoutAndCancellation) {
  cargo_.script_for(1, "sleep 600000\n");  // a metadata run that never answers
  cargo_.script_for(2, "sleep 600000\n");
  cargo_.script("exit 0\n");
  RecordingSink sink;
  ToolOutcome timed_out = run("cargo_check", {{"timeout_secs", 1}}, sink.get());
  ASSERT_TRUE(std::holds_alternative<ToolFailed>(timed_out));
  const Error& error = std::get<ToolFailed>(timed_out).error;
  ASSERT_TRUE(is_error_kind<TimeoutError>(error)) << error_text(error);
  EXPECT_GE(std::get<TimeoutError>(error).elapsed, Duration::from_secs(1));
  EXPECT_EQ(argv_lines().size(), 1u);  // no time was left for the check itself
  EXPECT_TRUE(sink.lines.empty());

  // Not remembered as a failed count: the next call counts again, and is
  // cancelled while it does.
  testing::CancelScope cancel;
  std::thread canceller([&] {
    for (auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
         cargo_.calls().size() < 2 && std::chrono::steady_clock::now() < deadline;)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    cancel.cancel();
  });
  ToolOutcome cancelled = run("cargo_test", json::object(), sink.get());
  canceller.join();
  ASSERT_TRUE(std::holds_alternative<ToolFailed>(cancelled));
  EXPECT_TRUE(is_error_kind<CancelledError>(std::get<ToolFailed>(cancelled).error));
  EXPECT_EQ(argv_lines(), (std::vector<std::string>{"metadata --format-version=1",
                                                    "metadata --format-version=1"}));
}

TEST_F(BuildToolCommands, CargoTestRunsBuildThenTestsWithTheNameAfterTheSeparator) {
  cargo_.script("exit 0\n");
  run("cargo_test", {{"test_name", "foo"}, {"exact", true}, {"no_fail_fast", true}});
  run("cargo_test", {{"filter", "bar"}, {"toolchain", "nightly"}});
  run("cargo_test", {{"exact", true}});
  run("cargo_test", {{"no_run", true}, {"exact", true}});
  run("cargo_test", {{"doc", true}, {"exact", true}, {"timeout_secs", 30}});
  run("cargo_test", {{"doc", true}, {"test_name", "foo"}, {"exact", true}});
  EXPECT_EQ(argv_lines(), (std::vector<std::string>{
                              "test --message-format=json --no-fail-fast --no-run",
                              "test --message-format=json --no-fail-fast -- foo --exact",
                              "+nightly test --message-format=json --no-run",
                              "+nightly test --message-format=json -- bar",
                              "test --message-format=json --no-run",
                              "test --message-format=json -- --exact",
                              "test --message-format=json --no-run",
                              "test --message-format=json --doc",
                              "test --message-format=json --doc -- foo --exact",
                          }));
}

TEST_F(BuildToolCommands, CargoTestConflictsRunNothing) {
  cargo_.script("exit 0\n");
  auto message = [&](const json& arguments) {
    ToolOutcome outcome = run("cargo_test", arguments);
    return std::holds_alternative<ToolFailed>(outcome)
               ? error_text(std::get<ToolFailed>(outcome).error)
               : std::string("<answered>");
  };
  EXPECT_EQ(message({{"test_name", "a"}, {"filter", "b"}}),
            "test_name and filter are not supported together on cargo_test; `filter` is "
            "automatically treated as an alias for `test_name`, so supplying both is ambiguous. "
            "Pass just one.");
  EXPECT_EQ(message({{"doc", true}, {"no_run", true}}),
            "no_run is not supported together with doc: true; cargo has no way to compile "
            "doctests without running them (\"can't skip running doc tests with --no-run\")");
  EXPECT_EQ(message({{"doc", true}, {"test_timeout_secs", 0}}),
            "test_timeout_secs is not supported together with doc: true; doctests run as a single "
            "phase with no separate build/execute split, so there is no distinct execution budget "
            "to override. Use timeout_secs instead.");
  EXPECT_EQ(message({{"test_timeout_secs", "5"}}),
            "test_timeout_secs must be a non-negative integer, got \"5\"");
  EXPECT_TRUE(argv_lines().empty());
}

TEST_F(BuildToolCommands, CargoTestTellsThePhasesAndStopsAfterAFailedBuild) {
  cargo_.script_for(1, "out {\"packages\":[1,2],\"resolve\":null}\n");
  cargo_.script_for(2, "out {\"reason\":\"build-finished\",\"success\":true}\n");
  cargo_.script_for(3, "out test t ... ok\n");
  RecordingSink sink;
  ToolOutcome passed = run("cargo_test", {{"toolchain", "p1"}}, sink.get());
  ASSERT_TRUE(std::holds_alternative<ToolText>(passed));
  EXPECT_FALSE(std::get<ToolText>(passed).is_error);
  EXPECT_EQ(sink.lines,
            (std::vector<std::string>{R"({"reason":"x-tarnwick-progress-total","total_units":2})",
                                      R"({"reason":"x-tarnwick-phase","phase":"build"})",
                                      R"({"reason":"build-finished","success":true})",
                                      R"({"reason":"x-tarnwick-phase","phase":"test execution"})",
                                      "test t ... ok"}));

  cargo_.script("exit 101\n");
  RecordingSink failed_sink;
  ToolOutcome failed = run("cargo_test", {{"toolchain", "p1"}}, failed_sink.get());
  ASSERT_TRUE(std::holds_alternative<ToolText>(failed));
  EXPECT_TRUE(std::get<ToolText>(failed).is_error);
  EXPECT_EQ(failed_sink.count_starting(R"({"reason":"x-tarnwick-phase")"), 1u);
  EXPECT_EQ(argv_lines().size(), 4u);  // counted once; the tests never ran
}

TEST_F(BuildToolCommands, TestFilterChecksComeInOrderBeforeCargo) {
  cargo_.script("exit 0\n");
  auto message = [&](json arguments) {
    if (!arguments.contains("test_filter")) arguments["test_filter"] = {{"pattern", "x"}};
    ToolOutcome outcome = run("cargo_test", arguments);
    return std::holds_alternative<ToolFailed>(outcome)
               ? error_text(std::get<ToolFailed>(outcome).error)
               : std::string("<answered>");
  };
  EXPECT_TRUE(message({{"doc", true}, {"test_timeout_secs", 0}, {"test_filter", 1}})
                  .starts_with("doc: true is not supported together with test_filter; "));
  EXPECT_TRUE(message({{"test_timeout_secs", 0}, {"test_filter", 1}})
                  .starts_with("test_timeout_secs is not supported together with test_filter; "));
  EXPECT_EQ(message({{"test_timeout_secs", nullptr}, {"test_filter", "x"}}),
            "test_filter must be an object with a `pattern` field, got \"x\"");
  EXPECT_EQ(message({{"test_filter", {{"pattern", 1}}}}), "test_filter.pattern must be a string");
  EXPECT_EQ(message({{"test_filter", {{"pattern", ""}}}}), "test_filter.pattern must not be empty");
  EXPECT_TRUE(message({{"test_filter", {{"pattern", "("}}}, {"output_path", "/x"}})
                  .starts_with("test_filter.pattern is not a valid regex: "));
  EXPECT_EQ(message({{"per_test_timeout_secs", -1}, {"timeout_secs", "1"}}),
            "timeout_secs must be a non-negative integer, got \"1\"");
  for (const json& bad : {json(-1), json(2.5), json("3")})
    EXPECT_EQ(message({{"per_test_timeout_secs", bad}}),
              "per_test_timeout_secs must be a non-negative integer, got " + bad.dump());
  EXPECT_TRUE(argv_lines().empty());

  // Null bisect and test_filter take the plain path.
  run("cargo_test", {{"bisect", nullptr}, {"test_filter", nullptr}});
  EXPECT_EQ(argv_lines().front(), "test --message-format=json --no-run");
}

}  // namespace
}  // namespace tarnwick
