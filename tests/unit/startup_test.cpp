#include "server/startup.h"

#include <gtest/gtest.h>

#include "catalogue/catalogue.h"

namespace tarnwick {
namespace {

TEST(ParseBool, AcceptsTheEightFormsInAnyAsciiCaseUntrimmed) {
  for (const char* yes : {"1", "on", "yes", "true", "YES", "True", "oN"})
    EXPECT_EQ(parse_bool(yes), true) << yes;
  for (const char* no : {"0", "no", "off", "false", "Off", "FALSE"})
    EXPECT_EQ(parse_bool(no), false) << no;
  for (const char* bad : {"", " true", "true ", "y", "n", "2", "enabled", "tru\xC3\xA9"}) {
    EXPECT_FALSE(parse_bool(bad).has_value()) << bad;
  }
}

TEST(ParseOptions, DefaultsAndStartupLinesWithoutOptions) {
  ServerSettings s = parse_options({});
  EXPECT_EQ(s.elicitation_mode, ElicitationMode::AlwaysSkip);
  EXPECT_TRUE(s.retry_on_busy);
  EXPECT_EQ(s.retry_delay_ms, 500u);
  EXPECT_EQ(s.retry_max_attempts, 3u);
  EXPECT_EQ(s.progress_delay_ms, 0u);
  EXPECT_FALSE(s.unsafe_windows_rm || s.per_test_execution || s.clear_incr_working ||
               s.show_incremental_notes);
  EXPECT_FALSE(s.test_timeout_secs);
  EXPECT_TRUE(s.warnings.empty());
  std::vector<std::string> lines = startup_lines(s, 42);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], "tarnwick 0.12.1 starting (pid=42)");
  // The advertised names are a fixed list; they must follow what tools/list returns.
  std::string names;
  for (const json& tool : tools_catalogue())
    names += (names.empty() ? "'" : ", '") + tool["name"].get<std::string>() + "'";
  EXPECT_EQ(lines[1], "advertising 19 tools: " + names);
  EXPECT_EQ(lines[2], "elicitation mode: AlwaysSkip");
  EXPECT_EQ(lines[3], "retry on transient busy errors: enabled (delay=500ms, max attempts=3)");
}

TEST(ParseOptions, RejectedValuesKeepTheEarlierValueAndWarnInOrder) {
  ServerSettings s =
      parse_options({"--retry-delay-ms=abc", "--retry-delay-ms=100", "--retry-delay-ms=xyz",
                     "--retry-max-attempts=0", "--elicitation-mode=Prompt", "--retry-on-busy= true",
                     "--retry-delay-ms=5=6", "--unsafe-windows-rm=a\"b", "--test-timeout-secs=-1"});
  EXPECT_EQ(s.retry_delay_ms, 100u);
  EXPECT_EQ(s.retry_max_attempts, 3u);
  EXPECT_EQ(s.elicitation_mode, ElicitationMode::AlwaysSkip);
  EXPECT_TRUE(s.retry_on_busy);
  EXPECT_EQ(
      s.warnings,
      (std::vector<std::string>{
          "ignoring invalid --retry-delay-ms value: \"abc\" (expected a non-negative integer)",
          "ignoring invalid --retry-delay-ms value: \"xyz\" (expected a non-negative integer)",
          "ignoring invalid --retry-max-attempts value: \"0\" (expected a positive integer)",
          "ignoring invalid --elicitation-mode value: \"Prompt\" (expected: prompt, always-accept, "
          "always-skip)",
          "ignoring invalid --retry-on-busy value: \" true\" (expected one of: true/false, 1/0, "
          "yes/no, on/off)",
          "ignoring invalid --retry-delay-ms value: \"5=6\" (expected a non-negative integer)",
          "ignoring invalid --unsafe-windows-rm value: \"a\\\"b\" (expected one of: true/false, "
          "1/0, yes/no, on/off)",
          "ignoring invalid --test-timeout-secs value: \"-1\" (expected a non-negative integer; 0 "
          "disables the default timeout)",
      }));
}

TEST(ParseOptions, ValidValuesAndIgnoredArguments) {
  ServerSettings s = parse_options(
      {"--Retry-On-Busy=false", "--retry-on-busy", "--verbose=1", "value", "--test-timeout-secs=30",
       "--test-timeout-secs=0", "--progress-delay-ms=25", "--elicitation-mode=always-accept",
       "--retry-max-attempts=+7", "--per-test-execution=YES", "--clear-incr-working=on",
       "--show-incremental-notes=1", "--unsafe-windows-rm=true"});
  EXPECT_TRUE(s.warnings.empty());
  EXPECT_TRUE(s.retry_on_busy);
  EXPECT_FALSE(s.test_timeout_secs);  // 0 after 30 means none again
  EXPECT_EQ(s.progress_delay_ms, 25u);
  EXPECT_EQ(s.elicitation_mode, ElicitationMode::AlwaysAccept);
  EXPECT_EQ(s.retry_max_attempts, 7u);
  EXPECT_TRUE(s.per_test_execution && s.clear_incr_working && s.show_incremental_notes &&
              s.unsafe_windows_rm);

  s.retry_on_busy = false;
  std::vector<std::string> lines = startup_lines(s, 1);
  ASSERT_EQ(lines.size(), 8u);
  EXPECT_EQ(lines[2], "elicitation mode: AlwaysAccept");
  EXPECT_EQ(lines[3], "progress delay: 25ms (developer mode)");
  EXPECT_EQ(lines[4], "retry on transient busy errors: disabled");
  EXPECT_EQ(lines[5], "Restart Manager process lookup: ENABLED (uses unsafe Win32 FFI in src/rm/)");
}

}  // namespace
}  // namespace tarnwick
