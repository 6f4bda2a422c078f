#include "runner/output_filters.h"

#include <gtest/gtest.h>

#include <functional>

#include "base/json_text.h"
#include "base/quoted.h"
#include "base/settings.h"
#include "base/text_lines.h"
#include "cargo_fixture.h"
#include "peak_memory.h"

namespace tarnwick {
namespace {

using testing::cargo_fixture;

/// Turns the incremental notes on for one test.
struct ShowIncrementalNotes {
  ShowIncrementalNotes() {
    ServerSettings settings;
    settings.show_incremental_notes = true;
    publish_settings(settings);
  }
  ~ShowIncrementalNotes() { publish_settings(ServerSettings{}); }
};

std::vector<std::string> shapes(const std::vector<std::string>& lines) {
  std::vector<std::string> out;
  for (const std::string& line : lines) out.push_back(testing::line_shape(line));
  return out;
}

std::vector<std::string> owned(const std::vector<std::string_view>& lines) {
  return {lines.begin(), lines.end()};
}

std::vector<std::string> repeated(std::vector<std::string> head, const std::string& line,
                                  size_t n) {
  head.insert(head.end(), n, line);
  return head;
}

using Filter = std::function<std::vector<std::string>(std::string_view)>;

const Filter kBuild = [](std::string_view text) { return owned(filter_build_message_lines(text)); };
const Filter kRun = filter_run_output_lines;
const Filter kNextestRun = filter_nextest_run_lines;
const Filter kNextestList = nextest_lines_to_json;

constexpr const char* kTestOutput = "x-tarnwick-test-output";
constexpr const char* kNextestOutput = "x-tarnwick-nextest-output";

struct FixtureCase {
  const char* fixture;
  const char* filter_name;
  Filter filter;
  std::vector<std::string> expected;
};

TEST(OutputFilters, RealCargoOutput) {
  const std::vector<std::string> check_error = {
      "compiler-message:error",   "compiler-message:warning",      "compiler-message:warning",
      "compiler-message:warning", "compiler-message:failure-note", "build-finished"};
  const std::vector<FixtureCase> cases = {
      {"check_error", "build", kBuild, check_error},
      {"check_error", "run", kRun, check_error},
      {"check_error", "nextest run", kNextestRun, check_error},
      {"check_warning", "build", kBuild, {"compiler-message:warning", "build-finished"}},
      {"build_warning", "build", kBuild, {"compiler-message:warning", "build-finished"}},
      {"build_script", "build", kBuild, {"compiler-message:warning", "build-finished"}},
      {"build_script", "nextest run", kNextestRun, {"compiler-message:warning", "build-finished"}},
      {"build_script",
       "nextest list",
       kNextestList,
       {"compiler-artifact", "build-script-executed", "compiler-message:warning",
        "compiler-artifact", "build-finished"}},
      {"test_pass", "build", kBuild, {"build-finished"}},
      {"test_pass", "run", kRun, repeated({"build-finished"}, kTestOutput, 8)},
      {"test_mixed", "build", kBuild, {"build-finished"}},
      {"test_mixed", "run", kRun, repeated({"build-finished"}, kTestOutput, 36)},
      {"test_mixed", "nextest run", kNextestRun, repeated({"build-finished"}, kNextestOutput, 36)},
      {"test_mixed", "nextest list", kNextestList,
       repeated({"compiler-artifact", "compiler-artifact", "build-finished"}, kNextestOutput, 36)},
  };
  for (const FixtureCase& c : cases) {
    SCOPED_TRACE(std::string(c.fixture) + " through " + c.filter_name);
    RunOutput output = cargo_fixture(c.fixture);
    std::vector<std::string> lines = c.filter(output.stdout_text);
    EXPECT_EQ(shapes(lines), c.expected);

    std::vector<std::string_view> originals = split_lines(output.stdout_text);
    auto is_original = [&](std::string_view line) {
      return std::find(originals.begin(), originals.end(), line) != originals.end();
    };
    for (const std::string& line : lines) {
      json value = *parse_json_line(line);
      std::string reason = *line_reason(value);
      if (reason == kTestOutput || reason == kNextestOutput) {
        // The whole line, untrimmed, as it stood.
        EXPECT_TRUE(is_original(value["text"].get<std::string>())) << line;
      } else if (c.filter_name == std::string("nextest list")) {
        EXPECT_EQ(line, to_json_text(value));
        // cargo writes `reason` first, so sorting shows wherever other keys sort before it.
        if (reason != "build-finished") {
          EXPECT_FALSE(is_original(line)) << line;
        }
      } else {
        EXPECT_TRUE(is_original(line)) << "kept lines stay byte for byte: " << line;
      }
    }
  }
}

const std::string kNoiseNullRendered =
    R"({"reason":"compiler-message","message":{"rendered":null,"level":"warning",)"
    R"("message":"did not finalize incremental compilation session directory `x`"}})";
const std::string kNoiseRendered =
    R"({"reason":"compiler-message","message":{"level":"note","message":"other",)"
    R"("rendered":"note: error finalizing incremental compilation session directory `y`"}})";

TEST(OutputFilters, IncrementalSessionNoise) {
  EXPECT_TRUE(is_incremental_session_noise(*parse_json_line(kNoiseNullRendered)));
  EXPECT_TRUE(is_incremental_session_noise(*parse_json_line(kNoiseRendered)));
  // A rendered string wins over the message member.
  EXPECT_FALSE(is_incremental_session_noise(json::parse(
      R"({"reason":"compiler-message","message":{"rendered":"fine","message":"did not finalize incremental compilation session directory"}})")));
  EXPECT_FALSE(is_incremental_session_noise(json::parse(
      R"({"reason":"compiler-artifact","message":{"message":"did not finalize incremental compilation session directory"}})")));
  EXPECT_FALSE(is_incremental_session_noise(
      json::parse(R"({"reason":"compiler-message","message":{"message":7}})")));
  EXPECT_FALSE(is_incremental_session_noise(json::parse(R"("compiler-message")")));

  std::string text = kNoiseNullRendered + "\n" + kNoiseRendered +
                     "\n{\"reason\":\"build-finished\",\"success\":true}\n";
  EXPECT_EQ(filter_build_message_lines(text).size(), 1u);
  EXPECT_EQ(filter_run_output_lines(text).size(), 1u);
  EXPECT_EQ(filter_nextest_run_lines(text).size(), 1u);
  EXPECT_EQ(nextest_lines_to_json(text).size(), 3u);
  {
    ShowIncrementalNotes on;
    EXPECT_EQ(filter_build_message_lines(text).size(), 3u);
    EXPECT_EQ(filter_run_output_lines(text).size(), 3u);
    EXPECT_EQ(filter_nextest_run_lines(text).size(), 3u);
  }
}

// The filters read a message's text as written; escapes must neither hide
// the noise nor make it up, on short lines and on lines read in place.
TEST(OutputFilters, NoiseSpeltThroughEscapes) {
  const std::string spelt =
      R"({"reason":"compiler-message","message":{"rendered":"did not fin\u0061lize incremental compilation session directory"}})";
  const std::string broken =
      R"({"reason":"compiler-message","message":{"rendered":"did not finalize\nincremental compilation session directory"}})";
  const std::string elsewhere =
      R"({"reason":"compiler-message","message":{"rendered":"fine"},"x":"did not finalize incremental compilation session directory"})";
  const std::string long_head = R"({"pad":")" + std::string(size_t{1} << 20, ' ') + "\",";
  for (const std::string& head : {std::string("{"), long_head}) {
    EXPECT_TRUE(filter_build_message_lines(head + spelt.substr(1)).empty());
    EXPECT_EQ(filter_build_message_lines(head + broken.substr(1)).size(), 1u);
    EXPECT_EQ(filter_build_message_lines(head + elsewhere.substr(1)).size(), 1u);
  }
}

// A long message is sorted where it lies: looking for the noise in its
// escaped text makes no copy of it.
TEST(OutputFilters, ALongMessageIsSortedWithoutACopy) {
  // Past glibc's largest mmap threshold (32 MiB), a copy takes fresh memory.
  const size_t units = size_t{20} << 20;
  std::string line = R"({"reason":"compiler-message","message":{"rendered":")";
  line.reserve(line.size() + 2 * units + 8);
  for (size_t i = 0; i < units; ++i) line += i % 64 == 63 ? "\\n" : "x ";
  line += "\"}}";
  long before = testing::peak_kib_since_reset(true);
  if (before < 0) GTEST_SKIP() << "no peak memory figures";
  size_t kept = filter_build_message_lines(line).size();
  long grown = testing::peak_kib_since_reset(false) - before;
  EXPECT_EQ(kept, 1u);
  EXPECT_LT(grown, 4 * 1024) << "KiB beyond the " << (line.size() >> 20) << " MiB line";
}

TEST(OutputFilters, LineClassesOutsideCargoMessages) {
  const std::string text =
      "  \t\r\n"                                          // blank
      "42\n\"text\"\ntrue\n"                              // JSON but not objects
      "{\"reason\":7}\n"                                  // reason not a string
      "{\"reason\":\"timing-info\",\"b\":1,\"a\":0.1}\n"  // reason no filter names
      "plain\r\n"                                         // CR goes with the line end
      "last\r";                                           // but stays on a last unended line
  EXPECT_TRUE(filter_build_message_lines(text).empty());
  EXPECT_EQ(filter_run_output_lines(text),
            (std::vector<std::string>{R"({"reason":"x-tarnwick-test-output","text":"plain"})",
                                      R"({"reason":"x-tarnwick-test-output","text":"last\r"})"}));
  std::vector<std::string> nextest = filter_nextest_run_lines(text);
  ASSERT_EQ(nextest.size(), 7u);
  EXPECT_EQ(nextest[0], R"({"reason":"x-tarnwick-nextest-output","text":"42"})");
  EXPECT_EQ(nextest[3], R"({"reason":"x-tarnwick-nextest-output","text":"{\"reason\":7}"})");
  EXPECT_EQ(
      nextest[4],
      R"({"reason":"x-tarnwick-nextest-output","text":"{\"reason\":\"timing-info\",\"b\":1,\"a\":0.1}"})");
  EXPECT_EQ(
      nextest_lines_to_json(text),
      (std::vector<std::string>{"42", "\"text\"", "true", R"({"reason":7})",
                                R"({"a":0.1,"b":1,"reason":"timing-info"})",
                                R"({"reason":"x-tarnwick-nextest-output","text":"plain"})",
                                R"({"reason":"x-tarnwick-nextest-output","text":"last\r"})"}));
}

std::string wrap_note(const std::string& line) {
  return to_json_text(json{{"reason", "x-tarnwick-nextest-output"}, {"text", line}});
}

TEST(OutputFilters, RescueNoteFollowsTheTableOfOtherReasons) {
  const std::string note = R"({"reason":"x-tarnwick-note","text":"tarnwick: build succeeded"})";
  EXPECT_TRUE(filter_build_message_lines(note).empty());
  EXPECT_TRUE(filter_run_output_lines(note).empty());
  EXPECT_EQ(filter_nextest_run_lines(note), std::vector<std::string>{wrap_note(note)});
  EXPECT_EQ(nextest_lines_to_json(note), std::vector<std::string>{note});
}

TEST(OutputFilters, HostileLinesNeitherCrashNorVanish) {
  // Invalid UTF-8 inside a compiler message must not lose the message.
  std::string bad =
      "{\"reason\":\"compiler-message\",\"message\":{\"level\":\"error\",\"message\":\"bad "
      "\xFF\"}}";
  EXPECT_EQ(filter_build_message_lines(bad + "\n"), std::vector<std::string_view>{bad});
  // Nesting this deep is not treated as JSON, so it is never walked recursively.
  std::string deep = std::string(5000, '[') + std::string(5000, ']');
  EXPECT_FALSE(parse_json_line(deep).has_value());
  ASSERT_EQ(filter_run_output_lines(deep).size(), 1u);
  EXPECT_EQ(nextest_lines_to_json(deep).size(), 1u);
  std::string shallow = std::string(100, '[') + std::string(100, ']');
  EXPECT_TRUE(parse_json_line(shallow).has_value());
  // Brackets inside strings do not count as nesting.
  EXPECT_TRUE(parse_json_line("\"" + std::string(500, '[') + "\"").has_value());
}

TEST(OutputFilters, DepthLimitIsExactly127Levels) {
  auto nested = [](int levels) { return std::string(levels, '[') + std::string(levels, ']'); };
  EXPECT_TRUE(parse_json_line(nested(127)).has_value());
  EXPECT_FALSE(parse_json_line(nested(128)).has_value());
  // Objects count as levels too.
  std::string objects;
  for (int i = 0; i < 127; ++i) objects += "{\"a\":";
  EXPECT_TRUE(parse_json_line(objects + "1" + std::string(127, '}')).has_value());
  EXPECT_FALSE(parse_json_line("[" + objects + "1" + std::string(127, '}') + "]").has_value());
}

TEST(OutputFilters, JsonFollowedByNulOrAfterAByteOrderMarkIsText) {
  const std::string finished = R"({"reason":"build-finished","success":true})";
  const std::string after_nul = finished + std::string(1, '\0') + "rest";
  const std::string array_nul = "[1]" + std::string(1, '\0') + " output";
  const std::string bom = "\xEF\xBB\xBF" + finished;
  for (const std::string& line : {after_nul, array_nul, bom}) {
    EXPECT_FALSE(parse_json_line(line).has_value());
    EXPECT_TRUE(filter_build_message_lines(line).empty());
    // A test's own output is wrapped, not dropped.
    json wrapped = {{"reason", "x-tarnwick-test-output"}, {"text", line}};
    EXPECT_EQ(filter_run_output_lines(line), std::vector<std::string>{to_json_text(wrapped)});
  }
}

TEST(StripIncrementalNoise, DropsNoiseAndOneFollowingBlank) {
  const std::string noise =
      "warning: did not finalize incremental compilation session directory `a`";
  EXPECT_EQ(strip_incremental_noise_lines(noise + "\n\n\nwarning: real\n"), "warning: real");
  EXPECT_EQ(strip_incremental_noise_lines("first\n" + noise + "\n\n\nlast"), "first\n\nlast");
  // Kept lines are joined by the line rule: a CR CR LF ending stays whole.
  EXPECT_EQ(strip_incremental_noise_lines("a\r\r\nb\r\n" + noise + "\nc"), "a\r\r\nb\nc");
  EXPECT_EQ(strip_incremental_noise_lines(
                "x error finalizing incremental compilation session directory\n"),
            "");
  EXPECT_EQ(strip_incremental_noise_lines(" \n\t\n"), "");
  const std::string real = cargo_fixture("check_error").stderr_text;
  EXPECT_EQ(strip_incremental_noise_lines(real), std::string(trim(real)));
  ShowIncrementalNotes on;
  EXPECT_EQ(strip_incremental_noise_lines("\n" + noise + "\n\n"), noise);
}

TEST(MergeBuildDiagnostics, BuildMessagesGoFirst) {
  RunOutput build = cargo_fixture("check_warning");
  RunOutput test = cargo_fixture("test_mixed");
  RunOutput merged = merge_build_diagnostics(build, test);
  std::vector<std::string_view> warning = filter_build_message_lines(build.stdout_text);
  ASSERT_EQ(warning.size(), 2u);  // the warning and build-finished; only the warning moves
  EXPECT_EQ(merged.stdout_text, std::string(warning[0]) + "\n" + test.stdout_text);
  EXPECT_EQ(merged.stderr_text, build.stderr_text + test.stderr_text);
  EXPECT_EQ(merged.exit_code, 101);

  build.stdout_text.clear();
  build.stderr_text = "no line end";
  EXPECT_EQ(merge_build_diagnostics(build, test).stderr_text, "no line end\n" + test.stderr_text);
  build.stderr_text = " \n";
  RunOutput unchanged = merge_build_diagnostics(build, test);
  EXPECT_EQ(unchanged.stdout_text, test.stdout_text);
  EXPECT_EQ(unchanged.stderr_text, test.stderr_text);
}

}  // namespace
}  // namespace tarnwick
