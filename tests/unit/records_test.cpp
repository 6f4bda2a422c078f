#include "runner/records.h"

#include <gtest/gtest.h>

#include "base/settings.h"
#include "base/text_lines.h"
#include "cargo_fixture.h"

namespace tarnwick {
namespace {

using testing::cargo_fixture;
using testing::line_shape;

const std::vector<std::string> kCheckArgs = {"check", "--message-format=json"};
const std::string kCheckInvocation =
    R"({"argv":["check","--message-format=json"],"cwd":".","reason":"x-tarnwick-invocation"})";
const std::string kNoiseLine =
    "warning: did not finalize incremental compilation session directory `x`";

/// The lines after the invocation record, reduced to their shapes; also
/// checks that the text starts with the invocation record and that no blank
/// line sits between records.
std::vector<std::string> body_shapes(const std::string& result) {
  std::vector<std::string_view> lines = split_lines(result);
  EXPECT_FALSE(lines.empty());
  if (lines.empty()) return {};
  EXPECT_EQ(lines[0], kCheckInvocation);
  EXPECT_FALSE(result.ends_with("\n"));
  std::vector<std::string> shapes;
  for (size_t i = 1; i < lines.size(); ++i) shapes.push_back(line_shape(lines[i]));
  return shapes;
}

std::vector<std::string> with_tail(std::vector<std::string> head, size_t wrapped,
                                   std::vector<std::string> tail) {
  head.insert(head.end(), wrapped, "x-tarnwick-test-output");
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

TEST(RunResults, RealCargoOutput) {
  using Builder = std::string (*)(const RunOutput&, const std::vector<std::string>&,
                                  const std::optional<std::string>&);
  struct Case {
    const char* fixture;
    Builder builder;
    std::vector<std::string> expected;
  };
  const std::string failed = R"({"status":"error","exit_code":101})";
  const std::string success = R"({"status":"success"})";
  const std::vector<Case> cases = {
      {"check_error",
       build_diagnostics_result,
       {"compiler-message:error", "compiler-message:warning", "compiler-message:warning",
        "compiler-message:warning", "compiler-message:failure-note", "build-finished", failed,
        "x-tarnwick-stderr"}},
      // Success with output: cargo's build-finished tells the outcome.
      {"check_warning", build_diagnostics_result, {"compiler-message:warning", "build-finished"}},
      {"build_script", build_diagnostics_result, {"compiler-message:warning", "build-finished"}},
      {"test_pass", build_run_result,
       with_tail({"build-finished"}, 8, {success, "x-tarnwick-stderr"})},
      {"test_mixed", build_run_result,
       with_tail({"build-finished"}, 36, {failed, "x-tarnwick-stderr"})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fixture);
    EXPECT_EQ(body_shapes(c.builder(cargo_fixture(c.fixture), kCheckArgs, std::nullopt)),
              c.expected);
  }

  std::string check =
      build_diagnostics_result(cargo_fixture("check_error"), kCheckArgs, std::nullopt);
  EXPECT_TRUE(check.ends_with("\n" + failed +
                              R"(
{"reason":"x-tarnwick-stderr","text":"Checking checkfail v0.1.0 (/tmp/records-fixtures/checkfail)\nerror: could not compile `checkfail` (lib) due to 1 previous error; 3 warnings emitted"})"))
      << check;
}

TEST(RunResults, InvocationRecord) {
  EXPECT_EQ(invocation_record({}, std::nullopt),
            R"({"argv":[],"cwd":".","reason":"x-tarnwick-invocation"})"
            "\n");
  EXPECT_EQ(
      invocation_record({"+nightly", "tree", "caf\xC3\xA9"}, std::string("/w \"q\"")),
      R"({"argv":["+nightly","tree","café"],"cwd":"/w \"q\"","reason":"x-tarnwick-invocation"})"
      "\n");
  EXPECT_EQ(invocation_record({}, std::string()),
            R"({"argv":[],"cwd":"","reason":"x-tarnwick-invocation"})"
            "\n");
}

TEST(RunResults, DiagnosticsEdgeCases) {
  const std::string inv = kCheckInvocation + "\n";
  const std::string artifact = R"({"reason":"compiler-artifact","fresh":true})"
                               "\n";
  EXPECT_EQ(build_diagnostics_result({"", "noise ignored", 0}, kCheckArgs, std::nullopt),
            inv + R"({"status":"success"})");
  // The success line depends on the raw output, not on what the filter kept.
  EXPECT_EQ(build_diagnostics_result({artifact, "", 0}, kCheckArgs, std::nullopt), inv);
  EXPECT_EQ(build_diagnostics_result({artifact, "", 101}, kCheckArgs, std::nullopt),
            inv + R"({"status":"error","exit_code":101})");
  EXPECT_EQ(
      build_diagnostics_result({artifact, kNoiseLine + "\n\n", 101}, kCheckArgs, std::nullopt),
      inv + R"({"status":"error","exit_code":101})");
  EXPECT_EQ(build_diagnostics_result({"", " \n", -1}, kCheckArgs, std::nullopt),
            inv + R"({"status":"error","exit_code":-1})");

  ServerSettings notes;
  notes.show_incremental_notes = true;
  publish_settings(notes);
  std::string shown =
      build_diagnostics_result({artifact, kNoiseLine + "\n", 101}, kCheckArgs, std::nullopt);
  publish_settings(ServerSettings{});
  EXPECT_EQ(shown, inv +
                       R"({"status":"error","exit_code":101})"
                       "\n" +
                       R"({"reason":"x-tarnwick-stderr","text":")" + kNoiseLine + "\"}");
}

TEST(RunResults, TestRunEdgeCases) {
  const std::string inv = kCheckInvocation + "\n";
  EXPECT_EQ(build_run_result({"", "", 0}, kCheckArgs, std::nullopt),
            inv + R"({"status":"success"})");
  EXPECT_EQ(build_run_result({"\n  \n", "\n", 3}, kCheckArgs, std::nullopt),
            inv + R"({"status":"error","exit_code":3})");
  EXPECT_EQ(build_run_result({"test a ... ok\n", "oops\n", 0}, kCheckArgs, std::nullopt),
            inv +
                R"({"reason":"x-tarnwick-test-output","text":"test a ... ok"})"
                "\n"
                R"({"status":"success"})"
                "\n" +
                R"({"reason":"x-tarnwick-stderr","text":"oops"})");
}

TEST(PlainResults, CombinesBothStreamsUnfiltered) {
  const std::vector<std::string> args = {"tree"};
  const std::string inv = R"({"argv":["tree"],"cwd":"/p","reason":"x-tarnwick-invocation"})"
                          "\n";
  const std::optional<std::string> cwd = "/p";
  EXPECT_EQ(plain_run_result({"", "", 0}, args, cwd), inv + "(success, no output)");
  EXPECT_EQ(plain_run_result({"", "", 2}, args, cwd), inv + "(exit code 2)\n");
  EXPECT_EQ(plain_run_result({"", "", -1}, args, cwd), inv + "(exit code -1)\n");
  EXPECT_EQ(plain_run_result({"out\n", "", 0}, args, cwd), inv + "out\n");
  EXPECT_EQ(plain_run_result({"", "  err\n", 0}, args, cwd), inv + "  err\n");
  EXPECT_EQ(plain_run_result({"out\n", "err\n", 101}, args, cwd),
            inv + "(exit code 101)\nout\n\nerr\n");
}

TEST(PlainResults, AnsiStripping) {
  EXPECT_EQ(strip_ansi_sequences("\x1b[1;31mword\x1b[0m"), "word");
  EXPECT_EQ(strip_ansi_sequences("a\x1b(Bb"), "a\x1b(Bb");
  EXPECT_EQ(strip_ansi_sequences("a\x1b\x1b[0mb"),
            "a\x1b"
            "b");
  EXPECT_EQ(strip_ansi_sequences("end\x1b"), "end\x1b");
  EXPECT_EQ(strip_ansi_sequences("cut\x1b[31;"), "cut");
  EXPECT_EQ(strip_ansi_sequences("\x1b[2K\xC3\xA9"), "\xC3\xA9");

  const std::vector<std::string> args = {"fmt"};
  RunOutput coloured{"\x1b[1;31mDiff\x1b[0m in src/lib.rs\n", "", 1};
  std::string plain = plain_run_result(coloured, args, std::nullopt, true);
  EXPECT_TRUE(plain.ends_with("(exit code 1)\nDiff in src/lib.rs\n")) << plain;
  EXPECT_EQ(plain_run_result(coloured, args, std::nullopt, false),
            plain_run_result(coloured, args, std::nullopt));
}

}  // namespace
}  // namespace tarnwick
