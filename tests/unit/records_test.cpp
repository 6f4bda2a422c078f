#include "runner/records.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <random>
#include <utility>

#include "../common/temp_crate.h"
#include "base/quoted.h"
#include "base/settings.h"
#include "base/text_lines.h"
#include "cargo_fixture.h"
#include "runner/child.h"
#include "runner/output_file.h"

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

/// One line of a made-up cargo output: its text as the line rule gives it
/// back, and how the filters sort it.
struct StreamLine {
  std::string text;
  LineKind kind;
};

/// A made-up standard output: its bytes and its lines.
struct Stream {
  std::string bytes;
  std::vector<StreamLine> lines;
};

/// Letters, blanks, escapes and non-ASCII text for the inside of a JSON
/// string: mostly short, now and then past one pipe read or past the size
/// from which lines are read in place.
std::string string_body(std::mt19937& random) {
  static constexpr std::string_view kPieces[] = {"a",    "b",    "q",        " ",           "\\n",
                                                 "\\\"", "\\\\", "\xC3\xA9", "\xE2\x80\x94"};
  size_t size = random() % 300;
  if (random() % 150 == 0) size = 70'000 + random() % 70'000;
  if (random() % 2000 == 0) size = (size_t{1} << 20) + random() % 1000;
  std::string body;
  while (body.size() < size) body += kPieces[random() % std::size(kPieces)];
  return body;
}

StreamLine random_line(std::mt19937& random) {
  std::string body = string_body(random);
  std::string success = random() % 2 ? "true" : "false";
  StreamLine line;
  switch (random() % 8) {
    case 0:
      line = {R"({"reason":"build-finished","success":)" + success + "}", LineKind::Kept};
      break;
    case 1:
      line = {R"({"reason":"compiler-message","message":{"level":"warning","rendered":")" + body +
                  "\"}}",
              LineKind::Kept};
      break;
    case 2:
      line = {R"({"reason":"compiler-artifact","package_id":")" + body + R"(","fresh":false})",
              LineKind::Artifact};
      break;
    case 3:
      line = {R"({"reason":"build-script-executed","out_dir":")" + body + "\"}",
              LineKind::Artifact};
      break;
    case 4:
      line = {R"({"reason":"timing-info","unit":")" + body + "\"}", LineKind::Other};
      break;
    case 5:
      line = {"[\"" + body + "\"]", LineKind::NoReason};
      break;
    case 6:
      line = {"test " + body + " ... ok", LineKind::NotJson};
      break;
    default:
      line = {std::string(random() % 3, ' '), LineKind::Blank};
      break;
  }
  // Blanks around a line, or a CR at its end (CR CR LF before the cut), do
  // not change how it sorts.
  if (random() % 4 == 0) line.text = "  " + line.text;
  if (random() % 4 == 0) line.text += random() % 2 ? " " : "\r";
  return line;
}

/// Up to nine lines ended by LF or CR LF; the last one may have no end.
Stream random_stream(std::mt19937& random) {
  Stream stream;
  size_t count = random() % 10;
  for (size_t i = 0; i < count; ++i) {
    StreamLine line = random_line(random);
    std::string end = line.text.ends_with('\r') || random() % 2 ? "\r\n" : "\n";
    if (i + 1 == count && !line.text.empty() && random() % 3 == 0) end.clear();
    stream.bytes += line.text + end;
    stream.lines.push_back(std::move(line));
  }
  return stream;
}

/// The lines the pipe reader hands on for `bytes` read in random pieces, and
/// the text a run collects from them.
std::pair<std::vector<std::string>, std::string> piped(const std::string& bytes,
                                                       std::mt19937& random) {
  PendingLines pending;
  std::vector<std::string> lines;
  for (size_t at = 0; at < bytes.size();) {
    size_t piece = std::min(bytes.size() - at, size_t{1} + random() % 100'000);
    pending.append(std::string_view(bytes).substr(at, piece));
    at += piece;
    while (std::optional<std::string> line = pending.next_line()) lines.push_back(*line);
  }
  if (std::string rest = pending.take_rest(); !rest.empty()) lines.push_back(rest);
  std::string collected;
  for (const std::string& line : lines) collected.append(line).append(line_end_for(line));
  return {lines, collected};
}

/// What an answer shows of the lines: kept lines as they stood, the kinds in
/// `wrapped` as records of `reason`, nothing of the others.
std::vector<std::string> shown(const std::vector<StreamLine>& lines,
                               std::initializer_list<LineKind> wrapped, std::string_view reason) {
  std::vector<std::string> pieces;
  for (const StreamLine& line : lines) {
    if (line.kind == LineKind::Kept) pieces.push_back(line.text);
    if (std::find(wrapped.begin(), wrapped.end(), line.kind) != wrapped.end())
      pieces.push_back(to_json_text({{"reason", reason}, {"text", line.text}}));
  }
  return pieces;
}

/// The kept pieces, the last one trimmed at its end, then the status line
/// and the standard-error record.
std::vector<std::string> closed_answer(std::vector<std::string> pieces, const RunOutput& output) {
  if (!pieces.empty()) pieces.back() = std::string(trim_end(pieces.back()));
  pieces.push_back(status_line(output.exit_code));
  if (auto record = stderr_record(trim(output.stderr_text))) pieces.push_back(*record);
  return pieces;
}

std::vector<std::string> diagnostics_answer(const Stream& stream, const RunOutput& output) {
  std::vector<std::string> kept = shown(stream.lines, {}, "");
  if (output.exit_code != 0) return closed_answer(kept, output);
  if (stream.bytes.empty()) return {std::string(kSuccessStatusLine)};
  return kept;
}

/// The answer is the invocation record and `body`, which the line rule cuts
/// from it again, byte for byte; each line is JSON.
void expect_answer(const std::string& answer, const std::vector<std::string>& body) {
  EXPECT_EQ(answer, kCheckInvocation + "\n" + join_lines(body));
  std::vector<std::string_view> lines = split_lines(answer);
  EXPECT_EQ(lines.size(), body.size() + 1);
  for (size_t i = 1; i < lines.size() && i <= body.size(); ++i) EXPECT_EQ(lines[i], body[i - 1]);
  for (std::string_view line : lines)
    EXPECT_TRUE(json::accept(line)) << "not JSON: " << quoted(line.substr(0, 200));
}

/// With an output path, the answer goes to the file and the condensed answer
/// holds its first line, the file record and then only lines of the file,
/// byte for byte, in order.
void expect_condensed(const std::string& answer, const testing::TempDir& dir, bool test_markers) {
  Result<std::string> condensed = write_output_file_summary(
      answer, std::string("o.ndjson"), platform::WorkingDir::open(dir.path()), test_markers);
  ASSERT_TRUE(condensed.ok()) << error_text(condensed.error());
  const std::string file = testing::read_file(dir / "o.ndjson");
  std::vector<std::string_view> file_lines = split_lines(file);
  std::vector<std::string_view> lines = split_lines(*condensed);
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[0], file_lines.at(0));
  EXPECT_TRUE(lines[1].find("x-tarnwick-output-file") != std::string_view::npos);
  auto next = file_lines.begin() + 1;
  for (size_t i = 2; i < lines.size(); ++i) {
    next = std::find(next, file_lines.end(), lines[i]);
    ASSERT_TRUE(next != file_lines.end()) << "not a line of the file: " << quoted(lines[i]);
    ++next;
  }
}

// Every builder of an answer from cargo's output, over random streams of kept
// and dropped lines: the answer holds exactly the kept lines, byte for byte,
// in order, whether made from the bytes, from the lines the pipe reader
// handed on, or from what a run collected; each of its lines is JSON. The
// condensed answer of an output path shows those lines as the file has them.
TEST(AnswerLines, HoldExactlyTheKeptLines) {
  constexpr unsigned kSeed = 26;
  std::mt19937 random(kSeed);
  const std::initializer_list<LineKind> nextest_wrapped = {LineKind::NotJson, LineKind::NoReason,
                                                           LineKind::Other};
  const testing::TempDir dir;
  for (int round = 0; round < 1000; ++round) {
    Stream stream = random_stream(random);
    Stream build = random_stream(random);
    auto [lines, collected] = piped(stream.bytes, random);
    auto [build_lines, build_collected] = piped(build.bytes, random);
    std::vector<std::string> expected_lines;
    for (const StreamLine& line : stream.lines) expected_lines.push_back(line.text);
    EXPECT_EQ(lines, expected_lines);
    for (int32_t code : {0, 101}) {
      std::string stderr_text = random() % 2 ? "error: could not compile `x`\n" : "";
      RunOutput raw{stream.bytes, stderr_text, code};
      RunOutput run{collected, stderr_text, code};
      DiagnosticsReading reading(false);
      for (size_t i = 0, offset = 0; i < lines.size(); ++i) {
        reading.take_line(std::string_view(collected).substr(offset, lines[i].size()), offset);
        offset += lines[i].size() + line_end_for(lines[i]).size();
      }
      const std::vector<std::string> diagnostics = diagnostics_answer(stream, raw);
      expect_answer(build_diagnostics_result(raw, kCheckArgs, std::nullopt), diagnostics);
      expect_answer(build_diagnostics_result(run, kCheckArgs, std::nullopt), diagnostics);
      const std::string answer =
          build_diagnostics_answer(run, kCheckArgs, std::nullopt, std::move(reading)).text;
      expect_answer(answer, diagnostics);
      expect_condensed(answer, dir, false);

      const std::vector<std::string> test_run =
          closed_answer(shown(stream.lines, {LineKind::NotJson}, "x-tarnwick-test-output"), raw);
      expect_answer(build_run_result(raw, kCheckArgs, std::nullopt), test_run);
      expect_answer(build_run_result(run, kCheckArgs, std::nullopt), test_run);

      std::vector<std::string> merged_pieces;
      for (const StreamLine& line : build.lines)
        if (line.kind == LineKind::Kept && line.text.find("compiler-message") != line.text.npos)
          merged_pieces.push_back(line.text);
      for (std::string& piece : shown(stream.lines, {LineKind::NotJson}, "x-tarnwick-test-output"))
        merged_pieces.push_back(std::move(piece));
      RunOutput merged = merge_build_diagnostics({build_collected, "", 0}, run);
      const std::string merged_answer = build_run_result(merged, kCheckArgs, std::nullopt);
      expect_answer(merged_answer, closed_answer(merged_pieces, raw));
      expect_condensed(merged_answer, dir, true);

      const std::vector<std::string> nextest_run =
          closed_answer(shown(stream.lines, nextest_wrapped, "x-tarnwick-nextest-output"), raw);
      expect_answer(build_nextest_run_result(raw, kCheckArgs, std::nullopt), nextest_run);
      expect_answer(build_nextest_run_result(run, kCheckArgs, std::nullopt), nextest_run);
      const std::string list = nextest_list_result(run, kCheckArgs, std::nullopt);
      for (std::string_view line : split_lines(list))
        EXPECT_TRUE(json::accept(line)) << "not JSON: " << quoted(line.substr(0, 200));
    }
    if (HasFailure()) {
      ADD_FAILURE() << "seed " << kSeed << ", round " << round << ", stream "
                    << quoted(stream.bytes.substr(0, 2000)) << ", build stream "
                    << quoted(build.bytes.substr(0, 2000));
      return;
    }
  }
}

}  // namespace
}  // namespace tarnwick
