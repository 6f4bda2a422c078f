#include "tools/nextest_args.h"

#include <gtest/gtest.h>

#include <chrono>
#include <tuple>

#include "invoke_test_support.h"
#include "tools/nextest_tools.h"
#include "tools/setup.h"

namespace tarnwick {
namespace {

std::string message(const Status& status) { return error_text(status.error()); }

TEST(ReadNextestArgs, KeepsStringsAndWholeIntegersOnly) {
  NextestArgs n = read_nextest_args({{"build_jobs", -2},
                                     {"test_threads", 2.5},
                                     {"retries", "2"},
                                     {"filter", ""},
                                     {"cargo_profile", 3},
                                     {"list_type", "full"}});
  EXPECT_EQ(n.build_jobs, "-2");
  EXPECT_FALSE(n.test_threads);
  EXPECT_FALSE(n.retries);
  EXPECT_EQ(n.filter, "");
  EXPECT_FALSE(n.cargo_profile);
  EXPECT_EQ(n.list_type, "full");
  EXPECT_FALSE(read_nextest_args(json::array({1})).filter);
}

TEST(TranslateTestName, ExactEscapesDelimitersButNotOpeningParenthesis) {
  Result<NextestArgs> exact =
      read_nextest_selection({{"test_name", "a/b(c),d\\e"}, {"exact", true}});
  ASSERT_TRUE(exact);
  EXPECT_EQ(exact->filter_expr, "test(=a\\/b(c\\)\\,d\\\\e)");
  EXPECT_FALSE(exact->filter);

  Result<NextestArgs> substring = read_nextest_selection({{"test_name", "a/b(c)"}});
  ASSERT_TRUE(substring);
  EXPECT_EQ(substring->filter, "a/b(c)");
  EXPECT_FALSE(substring->filter_expr);
  EXPECT_FALSE(read_nextest_selection({{"test_name", 7}, {"filter", "x"}})->filter_expr);
}

TEST(TranslateTestName, ConflictsNameTheOtherSelection) {
  Result<NextestArgs> with_filter = read_nextest_selection({{"test_name", "t"}, {"filter", "x"}});
  ASSERT_FALSE(with_filter);
  EXPECT_EQ(error_text(with_filter.error()),
            "test_name is not supported together with filter on "
            "cargo_nextest_run/cargo_nextest_list; test_name is automatically translated into "
            "filter, so supplying both is ambiguous. Use just one.");
  // test_filter is translated first, so it counts as a filter expression.
  Result<NextestArgs> with_regex =
      read_nextest_selection({{"test_name", "t"}, {"test_filter", {{"pattern", "x"}}}});
  ASSERT_FALSE(with_regex);
  EXPECT_EQ(error_text(with_regex.error()),
            "test_name is not supported together with filter_expr or test_filter on "
            "cargo_nextest_run/cargo_nextest_list; use just one selection mechanism.");
}

TEST(ParseTestFilterArg, BuildsTheExpressionAndRunIgnored) {
  Result<NextestArgs> n =
      read_nextest_selection({{"test_filter", {{"pattern", "smoke"}, {"include_ignored", true}}}});
  ASSERT_TRUE(n);
  EXPECT_EQ(n->filter_expr, "test(/smoke/)");
  EXPECT_EQ(n->run_ignored, "all");
  EXPECT_FALSE(read_nextest_selection({{"test_filter", nullptr}})->filter_expr);
}

TEST(ParseTestFilterArg, RefusesMalformedFiltersAndConflicts) {
  NextestArgs n;
  EXPECT_EQ(message(parse_test_filter_arg(n, {{"test_filter", "x"}})),
            "test_filter must be an object with a `pattern` field, got \"x\"");
  EXPECT_EQ(message(parse_test_filter_arg(n, {{"test_filter", {{"pattern", "a/\"b"}}}})),
            "test_filter.pattern \"a/\\\"b\" contains `/`, which nextest's `test(/regex/)` "
            "filterset syntax uses as an unescapable delimiter. Pass the equivalent `filter_expr` "
            "directly instead (see https://nexte.st/docs/filtersets/).");
  EXPECT_TRUE(message(parse_test_filter_arg(n, {{"test_filter", {{"pattern", "("}}}}))
                  .starts_with("test_filter.pattern is not a valid regex: "));
  EXPECT_EQ(
      message(parse_test_filter_arg(n, {{"test_filter", {{"pattern", std::string("a\0", 2)}}}})),
      "test_filter.pattern must not contain NUL");
  EXPECT_FALSE(n.filter_expr);

  // A filter given directly conflicts with the translated one.
  json filter = {{"pattern", "x"}};
  for (auto [key, value, words] :
       {std::tuple{"filter_expr", "e", "together with filter_expr"},
        std::tuple{"filter", "f", "together with filter on"},
        std::tuple{"run_ignored", "only", "`--run-ignored` value automatically."}}) {
    Result<NextestArgs> both = read_nextest_selection({{"test_filter", filter}, {key, value}});
    ASSERT_FALSE(both) << key;
    EXPECT_NE(error_text(both.error()).find(words), std::string::npos) << key;
  }
}

TEST(NextestNotInstalledMessage, HoldsBothInstallBlocks) {
  EXPECT_EQ(nextest_not_installed_message(),
            "cargo-nextest is not installed (looked for the `cargo-nextest` plugin via `cargo "
            "nextest --version`).\n\nInstall with one of:\n\n```pwsh\ncargo install cargo-nextest "
            "--locked\n```\n\nOr, for a much faster install of a pre-built binary:\n\n```pwsh\n"
            "cargo binstall cargo-nextest\n```\n\nSee "
            "<https://nexte.st/docs/installation/pre-built-binaries/> for platform-specific "
            "pre-built binaries. Re-run this tool after installation.\n");
}

// A probe stopped at its limit says so, in both tools and in cargo_setup,
// instead of calling the runner missing.
TEST(NextestProbe, AHungProbeIsToldApartFromAMissingRunner) {
  testing::FakeCargo cargo;
  cargo.script("sleep 600000\n");
  testing::TempDir workspace;
  const json arguments = {{"working_dir", workspace.path()}};
  const Duration limit{1, 0};
  const std::string hung = nextest_hung_message(limit);
  EXPECT_TRUE(hung.starts_with(
      "cargo-nextest did not answer: `cargo nextest --version` did not finish within 1 s"));

  const platform::WorkingDir working_dir = platform::WorkingDir::open(workspace.path());
  for (const ToolOutcome& outcome : {run_cargo_nextest_run(arguments, nullptr, working_dir, limit),
                                     run_cargo_nextest_list(arguments, limit)}) {
    ASSERT_TRUE(std::holds_alternative<ToolText>(outcome));
    EXPECT_TRUE(std::get<ToolText>(outcome).is_error);
    EXPECT_EQ(std::get<ToolText>(outcome).text, hung);
  }
  Result<std::string> guide = handle_cargo_setup(arguments, limit);
  ASSERT_TRUE(guide);
  EXPECT_TRUE(guide->ends_with(
      "````\n\n`cargo nextest --version` did not finish within 1 s and was stopped, so whether "
      "`cargo-nextest` works is not known: a plugin that hangs is not a missing one (it may be "
      "waiting for a lock or a slow disk). If it is not installed, or its installation is broken, "
      "install it to enable the `cargo_nextest_run` / `cargo_nextest_list` tools:\n\n" +
      std::string(nextest_install_blocks())))
      << *guide;
  EXPECT_EQ(cargo.calls().size(), 3u);  // one probe each, and nothing after it
}

TEST(NextestProbe, ACancelledProbeCancelsTheCall) {
  testing::FakeCargo cargo;
  cargo.script("sleep 600000\n");
  testing::CancelScope cancel;
  cancel.cancel();
  const json arguments = {{"working_dir", "."}};
  Result<std::string> guide = handle_cargo_setup(arguments);
  ASSERT_FALSE(guide);
  EXPECT_TRUE(is_error_kind<CancelledError>(guide.error()));
  ToolOutcome run = run_cargo_nextest_run(arguments, nullptr, platform::WorkingDir::open("."));
  ASSERT_TRUE(std::holds_alternative<ToolFailed>(run));
  EXPECT_TRUE(is_error_kind<CancelledError>(std::get<ToolFailed>(run).error));
}

// The probe spends the build phase's time, which runs from the call's start:
// a probe that hangs ends at the call's deadline, as the build would, not at
// the probe's own far limit.
TEST(NextestProbe, AHungProbeEndsAtTheCallsDeadline) {
  testing::FakeCargo cargo;
  cargo.script("sleep 600000\n");
  testing::TempDir workspace;
  const auto start = std::chrono::steady_clock::now();
  ToolOutcome run = run_cargo_nextest_run({{"working_dir", workspace.path()}, {"timeout_secs", 1}},
                                          nullptr, platform::WorkingDir::open(workspace.path()));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
  ASSERT_TRUE(std::holds_alternative<ToolFailed>(run));
  const Error& error = std::get<ToolFailed>(run).error;
  ASSERT_TRUE(is_error_kind<PhaseTimeoutError>(error)) << error_text(error);
  EXPECT_EQ(std::get<PhaseTimeoutError>(error).phase, "build");
  EXPECT_TRUE(error_text(error).starts_with("Operation timed out after 1."));
  EXPECT_EQ(cargo.calls().size(), 1u);  // the probe only
}

}  // namespace
}  // namespace tarnwick
