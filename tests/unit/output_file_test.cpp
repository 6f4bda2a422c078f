#include "runner/output_file.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "base/quoted.h"
#include "base/text_lines.h"
#include "cargo_fixture.h"
#include "runner/records.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;
using testing::cargo_fixture;
using testing::line_shape;
using testing::read_fixture_file;

/// A fresh working directory, removed again at the end of the test.
struct TempDir {
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "tarnwick-output-XXXXXX").string();
    path = ::mkdtemp(pattern.data());
  }
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(path, ignored);
  }
  std::string path;
};

const std::vector<std::string> kArgs = {"test", "--message-format=json"};

/// The summary with the working directory named by path, opened at once as
/// the call's front end does.
Result<std::string> write_output_file_summary(std::string text,
                                              const std::optional<std::string>& output_path,
                                              const std::string& dir, bool test_markers) {
  return tarnwick::write_output_file_summary(std::move(text), output_path,
                                             platform::WorkingDir::open(dir), test_markers);
}

json output_file_record(const std::string& summary) {
  return json::parse(split_lines(summary).at(1));
}

/// The `text` of every wrapped line of the condensed answer.
std::vector<std::string> wrapped_texts(const std::string& summary) {
  std::vector<std::string> texts;
  for (std::string_view line : split_lines(summary)) {
    std::optional<json> value = parse_json_line(line);
    if (value && value->is_object() && value->contains("text") &&
        line_shape(line) != "x-tarnwick-stderr")
      texts.push_back((*value)["text"].get<std::string>());
  }
  return texts;
}

TEST(OutputFile, WithoutPathTheTextIsTheAnswer) {
  Result<std::string> answer =
      write_output_file_summary("a\nb", std::nullopt, std::string("/nonexistent"), true);
  ASSERT_TRUE(answer.ok());
  EXPECT_EQ(*answer, "a\nb");
}

TEST(OutputFile, CheckFailureKeepsErrorsAndStatus) {
  TempDir dir;
  fs::create_directory(fs::path(dir.path) / "out");
  std::string full = build_diagnostics_result(cargo_fixture("check_error"), kArgs, dir.path);
  Result<std::string> answer =
      write_output_file_summary(full, std::string("out/check.jsonl"), dir.path, false);
  ASSERT_TRUE(answer.ok()) << error_text(answer.error());

  std::string path = dir.path + "/out/check.jsonl";
  EXPECT_EQ(read_fixture_file(path), full);
  json record = output_file_record(*answer);
  EXPECT_EQ(record, json({{"bytes", full.size()},
                          {"lines", 9},
                          {"path", path},
                          {"reason", "x-tarnwick-output-file"}}));

  std::vector<std::string_view> lines = split_lines(*answer);
  EXPECT_EQ(lines[0], split_lines(full)[0]);
  std::vector<std::string> shapes;
  for (size_t i = 2; i < lines.size(); ++i) shapes.push_back(line_shape(lines[i]));
  EXPECT_EQ(shapes, (std::vector<std::string>{"compiler-message:error", "build-finished",
                                              R"({"status":"error","exit_code":101})",
                                              "x-tarnwick-stderr"}));
  EXPECT_TRUE(answer->ends_with("}\n"));
  // The kept lines are the full text's own bytes.
  for (size_t i = 0; i < lines.size(); ++i) {
    if (i == 1) continue;  // the output-file record is the answer's own
    EXPECT_NE(full.find(lines[i]), std::string::npos) << lines[i];
  }
}

TEST(OutputFile, TestRunsKeepOnlyMarkerLines) {
  TempDir dir;
  std::string mixed = build_run_result(cargo_fixture("test_mixed"), kArgs, dir.path);
  Result<std::string> answer =
      write_output_file_summary(mixed, std::string("mixed.txt"), dir.path, true);
  ASSERT_TRUE(answer.ok());
  std::vector<std::string> texts = wrapped_texts(*answer);
  ASSERT_EQ(texts.size(), 9u);
  EXPECT_EQ(texts[0], "running 4 tests");
  EXPECT_EQ(texts[1], "test tests::fails ... FAILED");
  EXPECT_EQ(texts[2], "failures:");
  EXPECT_EQ(texts[3], "---- tests::fails stdout ----");
  EXPECT_TRUE(texts[4].find("panicked at src/lib.rs") != std::string::npos);
  EXPECT_EQ(texts[5], "failures:");
  EXPECT_TRUE(texts[6].starts_with("test result: FAILED. 2 passed; 1 failed; 1 ignored"));
  EXPECT_EQ(texts[7], "running 1 test");
  EXPECT_TRUE(texts[8].starts_with("test result: ok. 1 passed"));
  EXPECT_TRUE(answer->find(R"({"status":"error","exit_code":101})") != std::string::npos);
  EXPECT_EQ(output_file_record(*answer)["lines"], split_lines(mixed).size());

  std::string pass = build_run_result(cargo_fixture("test_pass"), kArgs, dir.path);
  answer = write_output_file_summary(pass, std::string("pass.txt"), dir.path, true);
  ASSERT_TRUE(answer.ok());
  texts = wrapped_texts(*answer);
  ASSERT_EQ(texts.size(), 4u);
  EXPECT_EQ(texts[0], "running 2 tests");
  EXPECT_EQ(texts[2], "running 1 test");
  EXPECT_EQ(answer->find("tests::doubles"), std::string::npos);

  // Without test markers the same wrappers all stay in the file.
  answer = write_output_file_summary(mixed, std::string("mixed.txt"), dir.path, false);
  ASSERT_TRUE(answer.ok());
  EXPECT_TRUE(wrapped_texts(*answer).empty());
  EXPECT_EQ(read_fixture_file(dir.path + "/mixed.txt"), mixed);
}

std::string wrap(const char* reason, const std::string& text) {
  return to_json_text(json{{"reason", reason}, {"text", text}});
}

TEST(OutputFile, KeepRule) {
  TempDir dir;
  const std::vector<std::pair<std::string, bool>> lines = {
      {wrap("x-tarnwick-nextest-output", "    FAIL [   0.002s] crate tests::broken"), true},
      {wrap("x-tarnwick-nextest-output", "FAILED tests::x"), false},
      {wrap("x-tarnwick-nextest-output", "FAIL"), false},
      {wrap("x-tarnwick-nextest-output", "SLOW [> 60.000s] crate t"), true},
      {wrap("x-tarnwick-nextest-output", "TIMEOUT [ 5.0s] t"), true},
      {wrap("x-tarnwick-nextest-output", "PASS [   0.001s] crate t"), false},
      {wrap("x-tarnwick-nextest-output", "Starting 3 tests across 1 binary"), true},
      {wrap("x-tarnwick-nextest-output", "--- STDERR:              crate t ---"), true},
      {wrap("x-tarnwick-test-output", "note: run with `RUST_BACKTRACE=1`"), true},
      {wrap("x-tarnwick-test-output", "test t ... ok"), false},
      {R"({"reason":"x-tarnwick-test-output","text":7})", false},
      {R"({"reason":"compiler-message","message":{"level":"error: internal compiler error"}})",
       true},
      {R"({"reason":"compiler-message","message":{"level":"warning"}})", false},
      {R"({"reason":"compiler-message","message":"error"})", false},
      {R"({"reason":"x-tarnwick-test-filter-summary","matched":2})", true},
      {R"({"reason":"x-tarnwick-test-filter-discovery"})", true},
      {R"({"reason":"x-tarnwick-note","text":"build succeeded"})", false},
      {R"({"status":"error"})", true},
      {R"({"reason":7})", false},
      {R"(["status"])", false},
      {"plain text", false},
      {"", false},
  };
  std::string full = R"({"argv":[],"cwd":".","reason":"x-tarnwick-invocation"})";
  std::string expected_tail;
  for (const auto& [line, kept] : lines) {
    full += "\n" + line;
    if (kept) expected_tail += line + "\n";
  }
  Result<std::string> answer =
      write_output_file_summary(full, std::string("keep.txt"), dir.path, true);
  ASSERT_TRUE(answer.ok());
  std::vector<std::string_view> answer_lines = split_lines(*answer);
  std::string tail;
  for (size_t i = 2; i < answer_lines.size(); ++i) tail += std::string(answer_lines[i]) + "\n";
  EXPECT_EQ(tail, expected_tail);
}

TEST(OutputFile, LineCountsAndEmptyText) {
  TempDir dir;
  for (const auto& [text, count] : std::vector<std::pair<std::string, int>>{
           {"a\nb", 2}, {"a\nb\n", 2}, {"a\r\n\n", 2}, {"", 0}}) {
    Result<std::string> answer =
        write_output_file_summary(text, std::string("n.txt"), dir.path, false);
    ASSERT_TRUE(answer.ok());
    json record =
        json::parse(text.empty() ? split_lines(*answer).at(0) : split_lines(*answer).at(1));
    EXPECT_EQ(record["lines"], count) << quoted(text);
    EXPECT_EQ(record["bytes"], text.size());
  }
  Result<std::string> empty = write_output_file_summary("", std::string("n.txt"), dir.path, false);
  ASSERT_TRUE(empty.ok());
  EXPECT_EQ(split_lines(*empty).size(), 1u);  // only the output-file record
}

// A write that fails says which file and why, as the check before the run does.
TEST(OutputFile, WriteFailuresNameTheFileAndTheCause) {
  TempDir dir;
  const std::string parent = "output_path parent directory does not exist or is not a directory: ";
  Result<std::string> missing =
      write_output_file_summary("x", std::string("dir.txt"), dir.path + "/gone", false);
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(error_text(missing.error()), parent + dir.path + "/gone");
  std::ofstream(fs::path(dir.path) / "plain") << "file";
  Result<std::string> not_folder =
      write_output_file_summary("x", std::string("plain/dir.txt"), dir.path, false);
  ASSERT_FALSE(not_folder.ok());
  EXPECT_EQ(error_text(not_folder.error()), parent + dir.path + "/plain");

  fs::create_directory(fs::path(dir.path) / "sub");
  Result<std::string> directory =
      write_output_file_summary("x", std::string("sub"), dir.path, false);
  ASSERT_FALSE(directory.ok());
  EXPECT_EQ(error_text(directory.error()),
            "output_path must name a file, not a directory: " + dir.path + "/sub");

  // A NUL would cut the name short and write to another file.
  Result<std::string> nul = write_output_file_summary("x", std::string("o\0x", 3), dir.path, false);
  ASSERT_FALSE(nul.ok());
  EXPECT_EQ(error_text(nul.error()), "output_path was not written: " + dir.path + "/o" +
                                         std::string("\0x", 2) +
                                         ": Invalid argument (os error 22)");
  EXPECT_FALSE(fs::exists(fs::path(dir.path) / "o"));
}

TEST(OutputFile, NeverWritesOutsideTheWorkingDirectory) {
  TempDir dir;
  fs::create_directory(fs::path(dir.path) / "inner");
  std::string outside = dir.path + "/escaped.txt";
  for (const std::string& path :
       {outside, std::string("inner/../../escaped.txt"), std::string("..")}) {
    Result<std::string> answer = write_output_file_summary("x", path, dir.path + "/inner", false);
    ASSERT_FALSE(answer.ok()) << path;
    EXPECT_TRUE(is_error_kind<MessageError>(answer.error()));
  }
  EXPECT_FALSE(fs::exists(outside));
  EXPECT_FALSE(write_output_file_summary("x", std::string("./a..b/../c"), dir.path, false).ok());
  // Names that merely contain dots stay allowed.
  EXPECT_TRUE(write_output_file_summary("x", std::string("./..x"), dir.path, false).ok());

  EXPECT_EQ(output_file_path("o.txt", std::nullopt), "o.txt");
  EXPECT_EQ(output_file_path("o.txt", std::string("/w/")), "/w/o.txt");
  EXPECT_EQ(output_file_path("o.txt", std::string("/w")), "/w/o.txt");
}

}  // namespace
}  // namespace tarnwick
